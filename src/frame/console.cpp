#include "frame/console.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "frame/platform.h"

namespace kp {

namespace {

constexpr u16 fallback_width = 80;

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

// Copies `size` bytes. Most pieces of a line are a few bytes long, and for those a
// call into the C library costs more than the copy.
[[gnu::always_inline]] inline void copy(char* to, const char* from, std::size_t size) {
    if (size > 16) {
        std::memcpy(to, from, size);
    } else if (size >= 8) {  // two 8-byte words, overlapping when fewer than 16
        std::uint64_t head;
        std::uint64_t tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + size - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + size - 8, &tail, 8);
    } else if (size >= 4) {
        std::uint32_t head;
        std::uint32_t tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + size - 4, 4);
        std::memcpy(to, &head, 4);
        std::memcpy(to + size - 4, &tail, 4);
    } else if (size > 0) {
        to[0] = from[0];
        to[size / 2] = from[size / 2];
        to[size - 1] = from[size - 1];
    }
}

// A line under construction in a fixed buffer; one that would not fit is marked
// as overflowing, and its caller formats it another way.
class LineWriter {
public:
    LineWriter(char* begin, std::size_t size) : begin_(begin), cursor_(begin), end_(begin + size) {}
    void put(char c) {
        if (cursor_ == end_) {
            overflow_ = true;
            return;
        }
        *cursor_++ = c;
    }
    void put(std::string_view text) {
        if (text.size() > static_cast<std::size_t>(end_ - cursor_)) {
            overflow_ = true;
            return;
        }
        copy(cursor_, text.data(), text.size());
        cursor_ += text.size();
    }
    // Room for `size` bytes at the cursor, which moves past them; null when they do not fit.
    char* take(std::size_t size) {
        if (size > static_cast<std::size_t>(end_ - cursor_)) {
            overflow_ = true;
            return nullptr;
        }
        return std::exchange(cursor_, cursor_ + size);
    }
    const char* end() const { return end_; }
    bool overflow() const { return overflow_; }
    std::string_view text() const { return {begin_, static_cast<std::size_t>(cursor_ - begin_)}; }

private:
    char* begin_;
    char* cursor_;
    char* end_;
    bool overflow_ = false;
};

// `count` bytes of `c` at `at`; a fixed 16-byte store where the buffer has room for it,
// since padding is short and a call into the C library would cost more.
[[gnu::always_inline]] inline void pad(char* at, char c, std::size_t count, const char* end) {
    if (count <= 16 && end - at >= 16) {
        std::memset(at, c, 16);
    } else {
        std::memset(at, c, count);
    }
}

[[gnu::always_inline]] inline void put_padded(LineWriter& line, const Conversion& conversion, std::string_view sign,
                                              std::string_view body) {
    const std::size_t length = sign.size() + body.size();
    const auto width = static_cast<std::size_t>(conversion.width);
    const std::size_t padding = width > length ? width - length : 0;
    char* out = line.take(padding + length);
    if (out == nullptr) return;
    if (conversion.left) {
        copy(out, sign.data(), sign.size());
        copy(out + sign.size(), body.data(), body.size());
        pad(out + length, ' ', padding, line.end());
    } else if (conversion.zero && conversion.letter != 's' && conversion.letter != 'c') {
        copy(out, sign.data(), sign.size());
        pad(out + sign.size(), '0', padding, line.end());
        copy(out + sign.size() + padding, body.data(), body.size());
    } else {
        pad(out, ' ', padding, line.end());
        copy(out + padding, sign.data(), sign.size());
        copy(out + padding + sign.size(), body.data(), body.size());
    }
}

// Decimal or hexadecimal digits of `value`, right-aligned in `buffer`. The bases are
// constants so that no digit costs a hardware division.
[[gnu::always_inline]] inline std::string_view digits(unsigned long long value, char letter,
                                                      std::array<char, 24>& buffer) {
    char* end = buffer.data() + buffer.size();
    char* p = end;
    if (letter == 'x' || letter == 'X') {
        const char* symbols = letter == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
        do {
            *--p = symbols[value & 0xF];
            value >>= 4;
        } while (value != 0);
    } else {
        static constexpr char pairs[] =
            "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
            "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
            "8081828384858687888990919293949596979899";
        while (value >= 100) {
            const auto pair = static_cast<std::size_t>(value % 100) * 2;
            value /= 100;
            p -= 2;
            p[0] = pairs[pair];
            p[1] = pairs[pair + 1];
        }
        if (value >= 10) {
            p -= 2;
            p[0] = pairs[value * 2];
            p[1] = pairs[value * 2 + 1];
        } else {
            *--p = static_cast<char>('0' + value);
        }
    }
    return {p, static_cast<std::size_t>(end - p)};
}

// Formats as vsnprintf would, for formats made only of the conversions above, into
// `line`. False at the first conversion of any other kind.
bool format_simple(LineWriter& line, const char* format, std::va_list args) {
    std::array<char, 24> buffer;
    for (const char* p = format;;) {
        const char* literal = p;
        while (*p != '\0' && *p != '%') ++p;
        line.put(std::string_view(literal, static_cast<std::size_t>(p - literal)));
        if (*p == '\0') return true;
        ++p;
        Conversion conversion;
        if (!parse_conversion(p, conversion)) return false;
        switch (conversion.letter) {
            case '%':
                line.put('%');
                break;
            case 'c': {
                const char c = static_cast<char>(va_arg(args, int));
                put_padded(line, conversion, {}, std::string_view(&c, 1));
                break;
            }
            case 's': {
                const char* text = va_arg(args, const char*);
                put_padded(line, conversion, {}, text != nullptr ? text : "(null)");
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
                put_padded(line, conversion, value < 0 ? "-" : "", digits(magnitude, 'd', buffer));
                break;
            }
            default: {
                const unsigned long long value = conversion.longs == 2   ? va_arg(args, unsigned long long)
                                                 : conversion.longs == 1 ? va_arg(args, unsigned long)
                                                                         : va_arg(args, unsigned);
                put_padded(line, conversion, {}, digits(value, conversion.letter, buffer));
                break;
            }
        }
    }
}

// The format with each I64 length modifier turned into the standard ll, for vsnprintf.
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

// The pending output's buffer, taken on first use by a console that was never set up.
char* pending_buffer(ConsoleOutput& console) {
    if (console.pending == nullptr) {
        console.pending = std::make_unique_for_overwrite<char[]>(pending_capacity);
        console.pending_size = 0;
    }
    return console.pending.get();
}

// Adds `text` to the pending output, handing full buffers to the sink.
void append_pending(ConsoleOutput& console, std::string_view text) {
    pending_buffer(console);
    while (!text.empty()) {
        if (console.pending_size == pending_capacity) console_flush(console);
        const std::size_t part = std::min(text.size(), pending_capacity - console.pending_size);
        std::memcpy(console.pending.get() + console.pending_size, text.data(), part);
        console.pending_size += part;
        text.remove_prefix(part);
    }
}

// Formats straight into the pending output; anything the simple formatter does not
// take, or that does not fit, goes through the C library instead.
int append_formatted(ConsoleOutput& console, const char* format, std::va_list args) {
    std::va_list library_args;
    va_copy(library_args, args);
    LineWriter line(pending_buffer(console) + console.pending_size, pending_capacity - console.pending_size);
    int n = -1;
    if (format_simple(line, format, args) && !line.overflow()) {
        n = static_cast<int>(line.text().size());
        console.pending_size += line.text().size();
    } else {
        const std::string standard = std::strstr(format, "I64") != nullptr ? standard_format(format) : format;
        std::va_list measure;
        va_copy(measure, library_args);
        n = std::vsnprintf(nullptr, 0, standard.c_str(), measure);
        va_end(measure);
        if (n > 0) {
            std::string text(static_cast<std::size_t>(n), '\0');
            std::vsnprintf(text.data(), text.size() + 1, standard.c_str(), library_args);
            append_pending(console, text);
        }
    }
    va_end(library_args);
    return n;
}

void change_attribute(ConsoleOutput& console, u16 attribute) {
    switch (console.colour) {
        case ColourMode::off:
            break;
        case ColourMode::ansi:
            append_pending(console, ansi_sequence(attribute));
            break;
        case ColourMode::native:
            // The text printed so far belongs to the previous attribute.
            console_flush(console);
            if (console.sink.set_attribute != nullptr) {
                console.sink.set_attribute(console.sink.context, attribute);
            }
            break;
    }
    console.current_attribute = attribute;
}

}  // namespace

std::string_view ansi_sequence(u16 attribute) {
    // Indexed by the console's foreground bits: 1 blue, 2 green, 4 red, 8 bright.
    static constexpr std::array<std::string_view, 16> sequences = {
        "\x1b[0;30m", "\x1b[0;34m", "\x1b[0;32m", "\x1b[0;36m", "\x1b[0;31m", "\x1b[0;35m", "\x1b[0;33m", "\x1b[0m",
        "\x1b[0;90m", "\x1b[0;94m", "\x1b[0;92m", "\x1b[0;96m", "\x1b[0;91m", "\x1b[0;95m", "\x1b[0;93m", "\x1b[0;1m",
    };
    return sequences[attribute & 0x0F];
}

ColourMode choose_colour(const ConsoleTraits& traits, const char* no_color, const char* clicolor_force) {
    if (no_color != nullptr && *no_color != '\0') {
        return ColourMode::off;
    }
    if (traits.terminal) {
        return traits.native_attributes ? ColourMode::native : ColourMode::ansi;
    }
    const bool forced = clicolor_force != nullptr && *clicolor_force != '\0' && std::strcmp(clicolor_force, "0") != 0;
    return forced ? ColourMode::ansi : ColourMode::off;
}

void console_setup(ConsoleOutput& console, void* handle, const ConsoleTraits& traits, ColourMode colour,
                   const ConsoleSink& sink) {
    console.handle = handle;
    console.width = traits.width > 1 ? traits.width : fallback_width;
    // Escape sequences reset to the terminal's default, which is what 7 stands for.
    console.initial_attribute = colour == ColourMode::native ? traits.attribute : attr_grey;
    console.current_attribute = console.initial_attribute;
    console.colour = colour;
    console.escape_controls = traits.terminal;
    console.write_failed = false;
    console.sink = sink;
    console.separator.assign(console.width - 1u, '-');
    console.separator += '\n';
    console.pending = std::make_unique_for_overwrite<char[]>(pending_capacity);
    console.pending_size = 0;
}

void console_init(ConsoleOutput& console, void* handle) {
    const ConsoleTraits traits = platform_console_traits(handle);
    const ColourMode colour = choose_colour(traits, std::getenv("NO_COLOR"), std::getenv("CLICOLOR_FORCE"));
    console_setup(console, handle, traits, colour, platform_stdout_sink(handle));
    platform_console_begin(handle);
}

i32 console_print(ConsoleOutput& console, u16 attribute, const char* format, ...) {
    if (attribute != console.current_attribute) {
        change_attribute(console, attribute);
    }
    std::va_list args;
    va_start(args, format);
    const int n = append_formatted(console, format, args);
    va_end(args);
    if (console.pending_size >= flush_threshold) {
        console_flush(console);
    }
    return n;
}

bool console_flush(ConsoleOutput& console) {
    if (console.pending_size != 0) {
        if (console.sink.write == nullptr ||
            !console.sink.write(console.sink.context, console.pending.get(), console.pending_size)) {
            console.write_failed = true;
        }
        console.pending_size = 0;
    }
    return !console.write_failed;
}

void console_restore(ConsoleOutput& console) {
    if (console.current_attribute != console.initial_attribute) {
        change_attribute(console, console.initial_attribute);
    }
    console_flush(console);
    if (console.handle != nullptr) platform_console_end();
    console.handle = nullptr;
}

std::string console_text(const ConsoleOutput& console, std::string_view text) {
    std::string shown(text);
    if (console.escape_controls) {
        for (char& c : shown) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7F) {
                c = '?';
            }
        }
    }
    return shown;
}

}  // namespace kp
