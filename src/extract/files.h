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

// A file being written, which appears at its target only once complete.
struct NewFile {
    FileHandle handle = no_file;
    std::filesystem::path temporary;  // its name while written; empty while it has none
};

// Starts a new file for `target`, in the target's directory: with no name at all where
// the system offers that, or else under a temporary name beside the target, created
// only where nothing held that name. Mode 0666 less the umask on POSIX. False when no
// file could be made (a directory that does not exist, say).
bool create_pending(NewFile& file, const std::filesystem::path& target);

// Closes the file and puts it at `target` in one step, replacing any file there. False
// when its data may not all have reached it or it could not be put there; nothing of
// it is left behind then.
bool commit_pending(NewFile& file, const std::filesystem::path& target);

// Closes the file and removes it.
void discard_pending(NewFile& file);

// The process's standard output, to write chunks to.
FileHandle standard_output();

// Told how many more bytes were copied, a piece at a time; `add` may be null.
struct CopyProgress {
    void (*add)(void* context, u64 bytes) = nullptr;
    void* context = nullptr;
};

// Appends `size` bytes from `offset` in `source` to `out`, in bounded pieces or inside
// the kernel, never holding the range in memory. False when a read or write failed or
// the source ended early.
bool copy_range(const SourceFile& source, u64 offset, u64 size, FileHandle out, const CopyProgress& progress = {});

enum class PathKind : unsigned char { missing, directory, other };

// What is at `path`, without following a symbolic link there: a link is `other`.
PathKind path_kind(const std::filesystem::path& path);

// Creates a directory at `path` (0777 less the umask on POSIX). False when it could not,
// also when something already exists there.
bool make_directory(const std::filesystem::path& path);

}  // namespace kp
