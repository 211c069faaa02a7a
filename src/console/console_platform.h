// The few calls the process frame needs from the operating system.
#pragma once

#include <cstddef>
#include <string>

#include "console/console.h"

namespace kp {

// The standard output handle; null when the process has none.
void* platform_stdout_handle();

// Terminal or not, its width and attribute; a handle that is no console reports so.
ConsoleTraits platform_console_traits(void* handle);

// The sink that writes to standard output `handle` and sets its native attributes.
ConsoleSink platform_stdout_sink(void* handle);

// Prepares the console behind `handle` for UTF-8 text; platform_console_end undoes it.
void platform_console_begin(void* handle);
void platform_console_end();

// The current directory as UTF-8; empty when it cannot be had.
std::string platform_current_directory();

}  // namespace kp
