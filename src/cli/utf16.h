// Strict UTF-16 to UTF-8 conversion, for command lines and paths that arrive as UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kp {

// Converts the UTF-16 units in [first, last) into `output`, which holds `capacity` bytes
// including the terminating NUL. Returns `output`, or null when a surrogate is unpaired
// or the text does not fit; a NUL then ends what was written so far. `Unit` is any
// 16-bit code unit type (char16_t; wchar_t on Windows).
template <typename Unit>
char* utf16_to_utf8(char* output, std::size_t capacity, const Unit* first, const Unit* last) {
    static_assert(sizeof(Unit) == 2, "UTF-16 code units are 16 bits wide");
    if (capacity == 0) return nullptr;  // not even room for the NUL
    std::size_t room = capacity - 1;
    char* out = output;
    bool ok = true;
    while (first != last) {
        std::uint32_t code = static_cast<std::uint16_t>(*first++);
        if (code >= 0xD800 && code <= 0xDFFF) {
            const bool paired = code <= 0xDBFF && first != last && static_cast<std::uint16_t>(*first) >= 0xDC00 &&
                                static_cast<std::uint16_t>(*first) <= 0xDFFF;
            if (!paired) {
                ok = false;
                break;
            }
            code = (((code & 0x3FF) << 10) | (static_cast<std::uint16_t>(*first++) & 0x3FF)) + 0x10000;
        }
        const std::size_t length = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
        if (room < length) {
            ok = false;
            break;
        }
        room -= length;
        if (length == 1) {
            *out++ = static_cast<char>(code);
            continue;
        }
        static constexpr unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
        *out++ = static_cast<char>(lead[length] | (code >> (6 * (length - 1))));
        for (std::size_t shift = 6 * (length - 1); shift > 0; shift -= 6) {
            *out++ = static_cast<char>(0x80 | ((code >> (shift - 6)) & 0x3F));
        }
    }
    *out = '\0';
    return ok ? output : nullptr;
}

}  // namespace kp
