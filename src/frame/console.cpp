#include "frame/console.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/platform.h"

namespace kp {

namespace {

// Large enough that a listing of thousands of lines costs a handful of writes.
constexpr std::size_t flush_threshold = std::size_t{64} * 1024;
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
bool parse_conversion(const char*& p, Conversion& conversion) {
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
        if (text.empty()) return;  // its data() may be null, which memcpy must not see
        if (text.size() > static_cast<std::size_t>(end_ - cursor_)) {
            overflow_ = true;
            return;
        }
        std::memcpy(cursor_, text.data(), text.size());
        cursor_ += text.size();
    }
    void fill(char c, std::size_t count) {
        if (count > static_cast<std::size_t>(end_ - cursor_)) {
            overflow_ = true;
            return;
        }
        std::memset(cursor_, c, count);
        cursor_ += count;
    }
    bool overflow() const { return overflow_; }
    std::string_view text() const { return {begin_, static_cast<std::size_t>(cursor_ - begin_)}; }

private:
    char* begin_;
    char* cursor_;
    char* end_;
    bool overflow_ = false;
};

void put_padded(LineWriter& line, const Conversion& conversion, std::string_view sign, std::string_view body) {
    const std::size_t length = sign.size() + body.size();
    const auto width = static_cast<std::size_t>(conversion.width);
    const std::size_t pad = width > length ? width - length : 0;
    if (conversion.left) {
        line.put(sign);
        line.put(body);
        line.fill(' ', pad);
    } else if (conversion.zero && conversion.letter != 's' && conversion.letter != 'c') {
        line.put(sign);
        line.fill('0', pad);
        line.put(body);
    } else {
        line.fill(' ', pad);
        line.put(sign);
        line.put(body);
    }
}

// Decimal or hexadecimal digits of `value`, right-aligned in `buffer`. The bases are
// constants so that no digit costs a hardware division.
std::string_view digits(unsigned long long value, char letter, std::array<char, 24>& buffer) {
    char* end = buffer.data() + buffer.size();
    char* p = end;
    if (letter == 'x' || letter == 'X') {
        const char* symbols = letter == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
        do {
            *--p = symbols[value & 0xF];
            value >>= 4;
        } while (value != 0);
    } else {
        do {
            *--p = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
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

int append_formatted(std::string& out, const char* format, std::va_list args) {
    std::va_list library_args;
    va_copy(library_args, args);
    std::array<char, 1024> buffer;
    LineWriter line(buffer.data(), buffer.size());
    int n = -1;
    if (format_simple(line, format, args) && !line.overflow()) {
        out.append(line.text());
        n = static_cast<int>(line.text().size());
    } else {
        // Other conversions, or a message longer than the buffer: the C library's turn.
        const std::string standard = std::strstr(format, "I64") != nullptr ? standard_format(format) : format;
        std::va_list measure;
        va_copy(measure, library_args);
        n = std::vsnprintf(nullptr, 0, standard.c_str(), measure);
        va_end(measure);
        if (n > 0) {
            const std::size_t old = out.size();
            out.resize(old + static_cast<std::size_t>(n));
            std::vsnprintf(out.data() + old, static_cast<std::size_t>(n) + 1, standard.c_str(), library_args);
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
            console.pending += ansi_sequence(attribute);
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
    console.pending.clear();
    console.pending.reserve(flush_threshold + 1024);
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
    const int n = append_formatted(console.pending, format, args);
    va_end(args);
    if (console.pending.size() >= flush_threshold) {
        console_flush(console);
    }
    return n;
}

bool console_flush(ConsoleOutput& console) {
    if (!console.pending.empty()) {
        if (console.sink.write == nullptr ||
            !console.sink.write(console.sink.context, console.pending.data(), console.pending.size())) {
            console.write_failed = true;
        }
        console.pending.clear();
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
