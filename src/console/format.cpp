// The printf subset that every report line uses, formatted without the C library: the
// listing prints thousands of lines, and vsnprintf was most of its time.
#include "console/format.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace kp {

namespace {

// A conversion of the kind the program prints: flags '-' and '0', a width, a length
// of l, ll or I64, and one of d i u x X c s %.
struct Conversion {
    bool left = false;
    bool zero = false;
    int width = 0;
    int longs = 0;  // 0: int, 1: long, 2: long long (ll or I64)
    char letter = 0;
};

// Reads the conversion after a '%'; false for anything outside the subset above.
[[gnu::always_inline]] inline bool parse_conversion(const char*& p, Conversion& conversion) {
    for (;; ++p) {
        if (*p == '-') {
            conversion.left = true;
        } else if (*p == '0') {
            conversion.zero = true;
        } else {
            break;
        }
    }
    while (*p >= '0' && *p <= '9') {
        if (conversion.width > 4096) return false;
        conversion.width = conversion.width * 10 + (*p++ - '0');
    }
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
        conversion.longs = 2;
        p += 3;
    } else {
        while (*p == 'l' && conversion.longs < 2) {
            ++conversion.longs;
            ++p;
        }
    }
    conversion.letter = *p;
    switch (conversion.letter) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'c':
        case 's':
        case '%':
            ++p;
            return true;
        default:
            return false;
    }
}

// Copies `size` bytes, from `sizeof(Word)` up to twice that, as two words that overlap
// when there are fewer.
template <typename Word>
[[gnu::always_inline]] inline void copy_two_words(char* to, const char* from, std::size_t size) {
    Word head;
    Word tail;
    std::memcpy(&head, from, sizeof head);
    std::memcpy(&tail, from + size - sizeof tail, sizeof tail);
    std::memcpy(to, &head, sizeof head);
    std::memcpy(to + size - sizeof tail, &tail, sizeof tail);
}

// Copies `size` bytes. Most pieces of a line are a few bytes long, and for those a
// call into the C library costs more than the copy.
[[gnu::always_inline]] inline void copy(char* to, const char* from, std::size_t size) {
    if (size > 16) {
        std::memcpy(to, from, size);
    } else if (size >= 8) {
        copy_two_words<std::uint64_t>(to, from, size);
    } else if (size >= 4) {
        copy_two_words<std::uint32_t>(to, from, size);
    } else if (size > 0) {
        to[0] = from[0];
        to[size / 2] = from[size / 2];
        to[size - 1] = from[size - 1];
    }
}

// `count` bytes of `c` at `at`; a fixed 16-byte store where the buffer has room for it,
// since padding is short and a call into the C library would cost more.
[[gnu::always_inline]] inline void pad(char* at, char c, std::size_t count, const char* end) {
    if (count <= 16 && end - at >= 16) {
        std::memset(at, c, 16);
    } else {
        std::memset(at, c, count);
    }
}

// How many digits `value` has in base 16 or 10.
[[gnu::always_inline]] inline std::size_t digit_count(unsigned long long value, bool hexadecimal) {
    if (hexadecimal) return value == 0 ? 1 : (static_cast<std::size_t>(std::bit_width(value)) + 3) / 4;
    std::size_t count = 1;
    for (; value >= 10000; value /= 10000) count += 4;
    if (value >= 1000) return count + 3;
    if (value >= 100) return count + 2;
    return value >= 10 ? count + 1 : count;
}

// Writes the digits of `value` so that they end just before `end`. The bases are
// constants, so that no digit costs a hardware division.
[[gnu::always_inline]] inline void put_digits(char* end, unsigned long long value, char letter) {
    if (letter == 'x' || letter == 'X') {
        const char* symbols = letter == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
        do {
            *--end = symbols[value & 0xF];
            value >>= 4;
        } while (value != 0);
        return;
    }
    static constexpr char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    while (value >= 100) {
        const auto pair = static_cast<std::size_t>(value % 100) * 2;
        value /= 100;
        end -= 2;
        end[0] = pairs[pair];
        end[1] = pairs[pair + 1];
    }
    if (value >= 10) {
        end[-2] = pairs[value * 2];
        end[-1] = pairs[value * 2 + 1];
    } else {
        end[-1] = static_cast<char>('0' + value);
    }
}

// A field of `length` bytes made of `sign` (0 for none) and a body that `put_body`
// writes at the pointer it is given, padded to the conversion's width. Returns the end
// of the field, or null when it would pass `end`.
template <typename PutBody>
[[gnu::always_inline]] inline char* put_field(char* out, const char* end, const Conversion& conversion, char sign,
                                              std::size_t length, PutBody put_body) {
    const auto width = static_cast<std::size_t>(conversion.width);
    const std::size_t padding = width > length ? width - length : 0;
    if (padding + length > static_cast<std::size_t>(end - out)) return nullptr;
    const std::size_t signs = sign != 0 ? 1 : 0;
    if (conversion.left) {
        if (signs != 0) out[0] = sign;
        put_body(out + signs);
        pad(out + length, ' ', padding, end);
    } else if (conversion.zero && conversion.letter != 's' && conversion.letter != 'c') {
        if (signs != 0) out[0] = sign;
        pad(out + signs, '0', padding, end);
        put_body(out + signs + padding);
    } else {
        pad(out, ' ', padding, end);
        if (signs != 0) out[padding] = sign;
        put_body(out + padding + signs);
    }
    return out + padding + length;
}

// A number as d, i, u, x or X print it: `magnitude` with a leading minus when `negative`.
[[gnu::always_inline]] inline char* put_number(char* out, const char* end, const Conversion& conversion, bool negative,
                                               unsigned long long magnitude) {
    const bool hexadecimal = conversion.letter == 'x' || conversion.letter == 'X';
    const std::size_t digits = digit_count(magnitude, hexadecimal);
    return put_field(out, end, conversion, negative ? '-' : 0, digits + (negative ? 1 : 0),
                     [&](char* at) { put_digits(at + digits, magnitude, conversion.letter); });
}

}  // namespace

// The padding of a row's field: one 16-byte store where the field is that wide or less,
// inside the room every caller gives a field (see format.h).
[[gnu::always_inline]] inline char* put_padding(char* out, char c, std::size_t length, unsigned char width) {
    if (length >= width) return out;
    std::memset(out, c, width <= 16 ? 16 : width - length);
    return out + (width - length);
}

char* put_decimal(char* out, long long value, unsigned char width) {
    const bool negative = value < 0;
    // Negate in unsigned arithmetic: the most negative value has no positive twin.
    const unsigned long long magnitude =
        negative ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    const std::size_t digits = digit_count(magnitude, false);
    out = put_padding(out, ' ', digits + (negative ? 1 : 0), width);
    if (negative) *out++ = '-';
    put_digits(out + digits, magnitude, 'd');
    return out + digits;
}

char* put_hex(char* out, unsigned long long value, unsigned char width) {
    const std::size_t digits = digit_count(value, true);
    out = put_padding(out, '0', digits, width);
    put_digits(out + digits, value, 'x');
    return out + digits;
}

char* format_simple(char* out, const char* end, const char* format, std::va_list args) {
    for (;;) {
        // The text between conversions is a few bytes: copied as it is scanned.
        for (char c = *format++; c != '%'; c = *format++) {
            if (c == '\0') return out;
            if (out == end) return nullptr;
            *out++ = c;
        }
        Conversion conversion;
        if (!parse_conversion(format, conversion)) return nullptr;
        switch (conversion.letter) {
            case '%':
                if (out == end) return nullptr;
                *out++ = '%';
                break;
            case 'c': {
                const char c = static_cast<char>(va_arg(args, int));
                out = put_field(out, end, conversion, 0, 1, [c](char* at) { *at = c; });
                break;
            }
            case 's': {
                const char* text = va_arg(args, const char*);
                if (text == nullptr) text = "(null)";
                const std::size_t length = std::strlen(text);
                out = put_field(out, end, conversion, 0, length, [&](char* at) { copy(at, text, length); });
                break;
            }
            case 'd':
            case 'i': {
                const long long value = conversion.longs == 2   ? va_arg(args, long long)
                                        : conversion.longs == 1 ? va_arg(args, long)
                                                                : va_arg(args, int);
                // Negate in unsigned arithmetic: the most negative value has no positive twin.
                const unsigned long long magnitude =
                    value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
                out = put_number(out, end, conversion, value < 0, magnitude);
                break;
            }
            default: {
                const unsigned long long value = conversion.longs == 2   ? va_arg(args, unsigned long long)
                                                 : conversion.longs == 1 ? va_arg(args, unsigned long)
                                                                         : va_arg(args, unsigned);
                out = put_number(out, end, conversion, false, value);
                break;
            }
        }
        if (out == nullptr) return nullptr;
    }
}

std::string standard_format(const char* format) {
    std::string out;
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        out += *p++;
        while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) out += *p++;
        while ((*p >= '0' && *p <= '9') || *p == '*' || *p == '.') out += *p++;
        if (std::strncmp(p, "I64", 3) == 0) {
            out += "ll";
            p += 3;
        }
        if (*p != '\0') out += *p++;  // the conversion letter, or the second '%' of "%%"
    }
    return out;
}

}  // namespace kp
