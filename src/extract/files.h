// The file-system calls extraction makes: reading ranges of the update file, creating
// files that did not exist, copying between them in bounded pieces, and directories.
#pragma once

#include <cstdint>
#include <filesystem>

#include "archive/records.h"

namespace kp {

// A file descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;
inline constexpr FileHandle no_file = -1;

struct SourceFile {
    FileHandle handle = no_file;
    u64 length = 0;  // the file's length when it was opened
};

// Opens the file at `path` for reading and measures it. False when either fails.
bool open_source(SourceFile& source, const std::filesystem::path& path);
void close_source(SourceFile& source);

// Creates the file at `path` for writing, only if nothing exists there yet (with mode
// 0666 less the umask on POSIX). no_file on failure; `exists` tells whether the failure
// was that something already does.
FileHandle create_new_file(const std::filesystem::path& path, bool& exists);

// The process's standard output, to write chunks to.
FileHandle standard_output();

// Appends `size` bytes from `offset` in `source` to `out`, in bounded pieces or inside
// the kernel, never holding the range in memory. False when a read or write failed or
// the source ended early.
bool copy_range(const SourceFile& source, u64 offset, u64 size, FileHandle out);

// Closes a file made by create_new_file; false when its data may not have reached it.
bool close_file(FileHandle file);

// Moves `from` over `to` in one step, replacing a file there. False when it could not.
bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes the file at `path`, if it can.
void remove_file(const std::filesystem::path& path);

enum class PathKind : unsigned char { missing, directory, other };

// What is at `path`, without following a symbolic link there: a link is `other`.
PathKind path_kind(const std::filesystem::path& path);

// Creates a directory at `path` (0777 less the umask on POSIX). False when it could not,
// also when something already exists there.
bool make_directory(const std::filesystem::path& path);

}  // namespace kp
