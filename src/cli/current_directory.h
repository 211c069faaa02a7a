// The process's current directory, which extracted files and relative names start from.
#pragma once

#include <string>

namespace kp {

// The current directory as UTF-8; empty when it cannot be had.
std::string current_directory();

}  // namespace kp
