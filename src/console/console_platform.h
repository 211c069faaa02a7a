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

// The standard output and standard error handles; null when the process has none.
void* platform_stdout_handle();
void* platform_stderr_handle();

// Terminal or not, its width and attribute; a handle that is no console reports so.
ConsoleTraits platform_console_traits(void* handle);

// The sink that writes to `handle` (standard output or error) and sets its native
// attributes.
ConsoleSink platform_stdout_sink(void* handle);

// Prepares the console behind `handle` for UTF-8 text; platform_console_end undoes it.
void platform_console_begin(void* handle);
void platform_console_end();

}  // namespace kp
