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
constexpr std::size_t flush_threshold = 64 * 1024;
constexpr u16 fallback_width = 80;

bool is_flag(char c) {
    return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\'';
}
bool is_count(char c) {
    return (c >= '0' && c <= '9') || c == '*';
}

// The format with each I64 length modifier turned into the standard ll; `storage`
// holds the rewritten text when one was found.
const char* standard_format(const char* format, std::string& storage) {
    if (std::strstr(format, "I64") == nullptr) {
        return format;
    }
    storage.clear();
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            storage += *p++;
            continue;
        }
        storage += *p++;
        while (is_flag(*p)) storage += *p++;
        while (is_count(*p)) storage += *p++;
        if (*p == '.') {
            storage += *p++;
            while (is_count(*p)) storage += *p++;
        }
        if (std::strncmp(p, "I64", 3) == 0) {
            storage += "ll";
            p += 3;
        }
        if (*p != '\0') storage += *p++;  // the conversion letter, or the second '%' of "%%"
    }
    return storage.c_str();
}

int append_formatted(std::string& out, const char* format, std::va_list args) {
    std::va_list retry;
    va_copy(retry, args);
    std::array<char, 1024> line;
    const int n = std::vsnprintf(line.data(), line.size(), format, args);
    if (n >= 0 && static_cast<std::size_t>(n) < line.size()) {
        out.append(line.data(), static_cast<std::size_t>(n));
    } else if (n >= 0) {
        const std::size_t old = out.size();
        out.resize(old + static_cast<std::size_t>(n));
        std::vsnprintf(out.data() + old, static_cast<std::size_t>(n) + 1, format, retry);
    }
    va_end(retry);
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
                   ConsoleSink sink) {
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
    std::string rewritten;
    std::va_list args;
    va_start(args, format);
    const int n = append_formatted(console.pending, standard_format(format, rewritten), args);
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
