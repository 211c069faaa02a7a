// What the console needs from the operating system: the standard output handle, what
// kind of output it is, and how to write to it and set its attributes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "console/console.h"

namespace kp {

// Writes all `size` bytes to the file behind `handle` (a descriptor on POSIX, a HANDLE
// on Windows), the bytes as they are. False when a write failed.
bool write_all(std::intptr_t handle, const void* data, std::size_t size);

// The line drawn last on standard error without its line feed (the progress line), of
// `columns` columns, 0 when it was taken off: for console_erase_drawn_line.
void console_note_drawn_line(std::size_t columns);

// Takes that line off the terminal: safe to call from a signal handler, which has the
// process end with it gone.
void console_erase_drawn_line();

// The standard output and standard error handles; null when the process has none.
void* platform_stdout_handle();
void* platform_stderr_handle();

// Standard error as write_all takes it.
std::intptr_t platform_stderr_file();

// Terminal or not, its width and attribute; a handle that is no console reports so.
ConsoleTraits platform_console_traits(void* handle);

// The sink that writes to `handle` (standard output or error) and sets its native
// attributes.
ConsoleSink platform_stdout_sink(void* handle);

// Prepares the console behind `handle` for UTF-8 text; platform_console_end undoes it.
void platform_console_begin(void* handle);
void platform_console_end();

}  // namespace kp
