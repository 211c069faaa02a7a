// Coloured, buffered console output: every printed line goes through console_print.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "console/integers.h"

namespace kp {

// Console character attributes: low four bits pick the foreground (1 blue, 2 green,
// 4 red, 8 bright).
inline constexpr u16 attr_grey = 7;
inline constexpr u16 attr_blue = 9;
inline constexpr u16 attr_green = 10;
inline constexpr u16 attr_cyan = 11;
inline constexpr u16 attr_red = 12;
inline constexpr u16 attr_yellow = 14;
inline constexpr u16 attr_white = 15;

// How attribute changes reach the screen.
enum class ColourMode : std::uint8_t {
    off,     // never: no escape byte and no console call
    ansi,    // terminal escape sequences inside the byte stream
    native,  // the platform's console attribute call, after flushing the text before it
};

// Where output goes: `write` takes flushed bytes (false when not all were written),
// `set_attribute` makes a native attribute change.
struct ConsoleSink {
    bool (*write)(void* context, const char* data, std::size_t size) = nullptr;
    void (*set_attribute)(void* context, std::uint16_t attribute) = nullptr;
    void* context = nullptr;
};

struct ConsoleOutput {
    u16 width = 0;
    u16 current_attribute = 0;
    u16 initial_attribute = 0;
    void* handle = nullptr;  // the platform's standard output handle; null when absent
    std::string separator;   // width - 1 hyphens and a line feed
    ColourMode colour = ColourMode::off;
    bool terminal = false;         // its stream is a terminal: archive text must not drive it
    bool stderr_terminal = false;  // standard error is one
    bool write_failed = false;
    ConsoleSink sink;
    std::unique_ptr<char[]> pending;  // text not yet handed to the sink, pending_capacity bytes
    std::size_t pending_size = 0;
};

// Room for a few thousand lines before the sink is called, and for the longest line
// formatted in place on top of that.
inline constexpr std::size_t flush_threshold = std::size_t{64} * 1024;
inline constexpr std::size_t pending_capacity = flush_threshold + 1024;

// What the platform reports about a standard output handle.
struct ConsoleTraits {
    bool terminal = false;           // a terminal or console window, not a file or pipe
    bool native_attributes = false;  // attributes are set by a platform call
    u16 width = 0;                   // columns; 0 when unknown
    u16 attribute = attr_grey;       // the attribute in force at start-up
};

// Colour as asked for on the command line.
enum class ColourWhen : std::uint8_t {
    automatic,  // on a terminal, unless NO_COLOR says otherwise; elsewhere if CLICOLOR_FORCE asks
    always,
    never,
};

// Decides once how colour is rendered: always or never as asked, or else from the handle
// and NO_COLOR / CLICOLOR_FORCE (either may be null for "unset").
ColourMode choose_colour(const ConsoleTraits& traits, const char* no_color, const char* clicolor_force,
                         ColourWhen when = ColourWhen::automatic);

// Sets up `console` for `handle`, with the colour decision for `when`.
void console_init(ConsoleOutput& console, void* handle, ColourWhen when = ColourWhen::automatic);

// As console_init, with the platform's answers and the colour decision given; the
// seam that tests use with a capturing sink.
void console_setup(ConsoleOutput& console, void* handle, const ConsoleTraits& traits, ColourMode colour,
                   const ConsoleSink& sink);

// printf-style print in `attribute`. Also accepts the I64 length modifier for
// unsigned 64-bit arguments. Returns the number of characters, negative on error.
i32 console_print(ConsoleOutput& console, u16 attribute, const char* format, ...);

// Room for a line of up to `size` bytes (at most a sixteenth of the buffer) in
// `attribute`, written at the pointer returned and then committed with its end: a
// listing prints thousands of lines of one shape, for which reading a format each time
// costs more than the digits.
char* console_line(ConsoleOutput& console, u16 attribute, std::size_t size);
void console_commit_line(ConsoleOutput& console, const char* line_end);

// Hands all buffered text to the sink. False when a write failed, now or before.
bool console_flush(ConsoleOutput& console);

// Writes `text` to standard error at once, plain: through `console` when that is
// standard error's, or else after `console` has handed on what it holds, so that the
// two streams read in the order things happened.
void console_to_stderr(ConsoleOutput& console, std::string_view text);

// Puts back the attribute the console had at start-up and flushes; safe to repeat.
void console_restore(ConsoleOutput& console);

// The length of the valid UTF-8 sequence at the start of `bytes` (shortest forms only, no
// surrogates, nothing above U+10FFFF); 0 when there is none.
std::size_t utf8_sequence(std::string_view bytes);

// `text` with every byte a terminal takes as a command shown as `ls -b` shows it: C0
// controls and DEL as C escapes or octal (`\n`, `\r`, `\033`, `\177`), the C1 controls
// as their UTF-8 bytes in octal (`\302\233`), a byte from 0x80 to 0x9F that is no part of
// a UTF-8 sequence in octal (`\233`), and a backslash as `\\`, so that every escape
// reads back one way; the rest as it is.
std::string escape_controls(std::string_view text);

// Text from an update file or a directory, as it may be printed through `console`: with
// its controls escaped where the console's stream is a terminal, as it is elsewhere.
std::string escape_for_console(const ConsoleOutput& console, std::string_view text);

// The same for text that goes to standard error through console_to_stderr, judged by
// whether standard error is a terminal.
std::string escape_for_stderr(const ConsoleOutput& console, std::string_view text);

// The escape sequence that selects `attribute` on an ANSI terminal.
std::string_view ansi_sequence(u16 attribute);

}  // namespace kp
