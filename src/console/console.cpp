#include "console/console.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/console_platform.h"
#include "console/format.h"

namespace kp {

namespace {

constexpr u16 fallback_width = 80;

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
    char* const out = pending_buffer(console) + console.pending_size;
    int n = -1;
    if (const char* text_end = format_simple(out, console.pending.get() + pending_capacity, format, args)) {
        n = static_cast<int>(text_end - out);
        console.pending_size += static_cast<std::size_t>(text_end - out);
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

ColourMode choose_colour(const ConsoleTraits& traits, const char* no_color, const char* clicolor_force,
                         ColourWhen when) {
    const ColourMode rendered = traits.native_attributes ? ColourMode::native : ColourMode::ansi;
    if (when != ColourWhen::automatic) return when == ColourWhen::always ? rendered : ColourMode::off;
    if (no_color != nullptr && *no_color != '\0') {
        return ColourMode::off;
    }
    if (traits.terminal) {
        return rendered;
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
    console.terminal = traits.terminal;
    // A console without a handle is a test's, whose standard error is its own stream.
    console.stderr_terminal =
        handle == nullptr ? traits.terminal : platform_console_traits(platform_stderr_handle()).terminal;
    console.write_failed = false;
    console.sink = sink;
    console.separator.assign(console.width - 1u, '-');
    console.separator += '\n';
    console.pending = std::make_unique_for_overwrite<char[]>(pending_capacity);
    console.pending_size = 0;
}

void console_init(ConsoleOutput& console, void* handle, ColourWhen when) {
    const ConsoleTraits traits = platform_console_traits(handle);
    const ColourMode colour = choose_colour(traits, std::getenv("NO_COLOR"), std::getenv("CLICOLOR_FORCE"), when);
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

char* console_line(ConsoleOutput& console, u16 attribute, std::size_t size) {
    if (attribute != console.current_attribute) change_attribute(console, attribute);
    pending_buffer(console);
    if (pending_capacity - console.pending_size < size) console_flush(console);
    return console.pending.get() + console.pending_size;
}

void console_commit_line(ConsoleOutput& console, const char* line_end) {
    console.pending_size = static_cast<std::size_t>(line_end - console.pending.get());
    if (console.pending_size >= flush_threshold) console_flush(console);
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

void console_to_stderr(ConsoleOutput& console, std::string_view text) {
    // A console without a handle is a test's, which keeps both streams in one.
    if (console.handle == nullptr || console.handle == platform_stderr_handle()) {
        append_pending(console, text);
        console_flush(console);
        return;
    }
    console_flush(console);
    const ConsoleSink sink = platform_stdout_sink(platform_stderr_handle());
    if (sink.write != nullptr) sink.write(sink.context, text.data(), text.size());
}

void console_restore(ConsoleOutput& console) {
    if (console.current_attribute != console.initial_attribute) {
        change_attribute(console, console.initial_attribute);
    }
    console_flush(console);
    if (console.handle != nullptr) platform_console_end();
    console.handle = nullptr;
}

namespace {

// The progress line's width on standard error, for a signal handler to blank it.
constexpr std::size_t most_drawn_columns = 512;
volatile std::sig_atomic_t drawn_columns = 0;

}  // namespace

void console_note_drawn_line(std::size_t columns) {
    drawn_columns = static_cast<std::sig_atomic_t>(std::min(columns, most_drawn_columns));
}

void console_erase_drawn_line() {
    const auto columns = static_cast<std::size_t>(drawn_columns);
    if (columns == 0) return;
    static char blank[most_drawn_columns + 2];  // no allocation in a signal handler
    blank[0] = '\r';
    std::memset(blank + 1, ' ', columns);
    blank[columns + 1] = '\r';
    write_all(platform_stderr_file(), blank, columns + 2);
    drawn_columns = 0;
}

std::size_t utf8_sequence(std::string_view bytes) {
    const auto byte = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte, narrowed where the lead demands
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

std::string escape_controls(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    const auto octal = [&shown](unsigned char byte) {
        const char digits[] = {'\\', static_cast<char>('0' + (byte >> 6)), static_cast<char>('0' + ((byte >> 3) & 7)),
                               static_cast<char>('0' + (byte & 7))};
        shown.append(digits, sizeof digits);
    };
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text[0]);
        const std::size_t length = utf8_sequence(text);
        static constexpr std::string_view named = "abtnvfr";  // 7 to 13
        if (byte == '\\') {
            shown += "\\\\";
        } else if (byte >= 7 && byte <= 13) {
            shown += '\\';
            shown += named[byte - 7];
        } else if (byte < 0x20 || byte == 0x7F || (length == 0 && byte >= 0x80 && byte <= 0x9F)) {
            octal(byte);
        } else if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[1]) <= 0x9F) {
            octal(byte);  // U+0080 to U+009F: a C1 control
            octal(static_cast<unsigned char>(text[1]));
        } else {
            shown.append(text.data(), length == 0 ? 1 : length);
        }
        text.remove_prefix(length == 0 ? 1 : length);
    }
    return shown;
}

std::string escape_for_console(const ConsoleOutput& console, std::string_view text) {
    return console.terminal ? escape_controls(text) : std::string(text);
}

std::string escape_for_stderr(const ConsoleOutput& console, std::string_view text) {
    return console.stderr_terminal ? escape_controls(text) : std::string(text);
}

}  // namespace kp
