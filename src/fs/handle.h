// What the file-system room hands around: a file's handle, and the width of the sizes
// and offsets it measures.
#pragma once

#include <cstdint>

#include "console/integers.h"

namespace kp {

// A file descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;
inline constexpr FileHandle no_file = -1;

// POSIX: the descriptor behind a handle.
inline int descriptor(FileHandle file) {
    return static_cast<int>(file);
}

// Windows: the HANDLE behind a handle (no_file is INVALID_HANDLE_VALUE), and the handle
// for a HANDLE, where both INVALID_HANDLE_VALUE and null say there is none.
inline void* handle_of(FileHandle file) {
    return reinterpret_cast<void*>(file);  // NOLINT(performance-no-int-to-ptr): a HANDLE is what it holds
}
inline FileHandle file_of(void* handle) {
    const auto value = reinterpret_cast<FileHandle>(handle);
    return value == 0 || value == no_file ? no_file : value;
}

}  // namespace kp
