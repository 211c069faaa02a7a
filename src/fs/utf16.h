// UTF-16 to UTF-8, the one conversion for what the system hands over in UTF-16: command
// lines and the current directory strictly, names and the system's messages leniently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kp {

// The next code point of [first, last), which `first` moves past: false for a surrogate
// without its partner, which `first` then moves past alone. `Unit` is any 16-bit code
// unit type (char16_t; wchar_t on Windows).
template <typename Unit>
bool next_code_point(const Unit*& first, const Unit* last, std::uint32_t& code) {
    static_assert(sizeof(Unit) == 2, "UTF-16 code units are 16 bits wide");
    code = static_cast<std::uint16_t>(*first++);
    if (code < 0xD800 || code > 0xDFFF) return true;
    const bool paired = code <= 0xDBFF && first != last && static_cast<std::uint16_t>(*first) >= 0xDC00 &&
                        static_cast<std::uint16_t>(*first) <= 0xDFFF;
    if (!paired) return false;
    code = (((code & 0x3FF) << 10) | (static_cast<std::uint16_t>(*first++) & 0x3FF)) + 0x10000;
    return true;
}

inline std::size_t utf8_length(std::uint32_t code) {
    return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
}

// Writes the UTF-8 bytes of `code` at `out`, which has room for them; returns their end.
inline char* put_utf8(char* out, std::uint32_t code) {
    const std::size_t length = utf8_length(code);
    if (length == 1) {
        *out++ = static_cast<char>(code);
        return out;
    }
    static constexpr unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    *out++ = static_cast<char>(lead[length] | (code >> (6 * (length - 1))));
    for (std::size_t shift = 6 * (length - 1); shift > 0; shift -= 6) {
        *out++ = static_cast<char>(0x80 | ((code >> (shift - 6)) & 0x3F));
    }
    return out;
}

// Converts the UTF-16 units in [first, last) into `output`, which holds `capacity` bytes
// including the terminating NUL. Returns `output`, or null when a surrogate is unpaired
// or the text does not fit; a NUL then ends what was written so far.
template <typename Unit>
char* utf16_to_utf8(char* output, std::size_t capacity, const Unit* first, const Unit* last) {
    if (capacity == 0) return nullptr;  // not even room for the NUL
    std::size_t room = capacity - 1;
    char* out = output;
    bool ok = true;
    while (first != last) {
        std::uint32_t code = 0;
        if (!next_code_point(first, last, code) || room < utf8_length(code)) {
            ok = false;
            break;
        }
        room -= utf8_length(code);
        out = put_utf8(out, code);
    }
    *out = '\0';
    return ok ? output : nullptr;
}

// The same, whole, with U+FFFD for each surrogate without its partner, as the system
// shows such a name.
template <typename Unit>
std::string utf16_to_utf8(const Unit* first, const Unit* last) {
    std::string text;
    char bytes[4];
    while (first != last) {
        std::uint32_t code = 0;
        if (!next_code_point(first, last, code)) code = 0xFFFD;
        text.append(bytes, put_utf8(bytes, code));
    }
    return text;
}

}  // namespace kp
