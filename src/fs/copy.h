// Reading ranges of the update file and copying them, in bounded pieces or inside the
// kernel, to a new file or to standard output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "console/console_platform.h"
#include "fs/files.h"

namespace kp {

// Told of every byte a stream gives, as it is read: what a run that reads a stream once
// can keep of what it reads past.
struct StreamTap {
    void (*seen)(void* context, u64 offset, const unsigned char* bytes, std::size_t size) = nullptr;
    void* context = nullptr;
};

// Where a stream's bytes come from when they do not come from its handle: a function of
// whoever opened it, which returns how many it read, 0 at the end, -1 when it failed
// (with errno, or the system's last error, saying why).
struct StreamReader {
    std::int64_t (*read)(void* context, unsigned char* buffer, std::size_t size) = nullptr;
    void* context = nullptr;
};

struct SourceFile {
    FileHandle handle = no_file;
    u64 length = 0;                    // the file's length when it was opened
    bool kernel_copy_refused = false;  // a copy between files inside the kernel was refused once
    // A view of part of the file that small ranges are written from, kept for the next
    // ones, which usually follow in it: null where there is none.
    const unsigned char* view = nullptr;
    u64 view_offset = 0;
    u64 view_size = 0;
    // A stream (a pipe, standard input) is read once, forward, and never measured: its
    // `length` stays unknown_length until it has `ended`. `buffer` holds the `buffered`
    // bytes that came last, which end at `position`, where the next byte read lies in
    // the update file; `cursor` is where the loader's reads have got to.
    bool stream = false;
    bool ended = false;
    u64 position = 0;
    u64 cursor = 0;
    std::vector<unsigned char> buffer;
    std::size_t buffered = 0;
    std::string read_failure;  // what the system said when reading the stream failed
    int read_error = 0;        // and its errno, where it gave one
    StreamTap tap;             // a stream's bytes go through this process, not around it, while set
    StreamReader reader;       // set: a stream read through it, never through `handle`
    // How much of what a stream gave last stays readable behind what it gives next: what
    // the format reads twice, which its reader says.
    std::size_t keep_back = 0;
};

// The length of a stream not yet read to its end.
inline constexpr u64 unknown_length = ~u64{0};

// Whether the source's length is known: a file's always, a stream's once it has ended.
inline bool length_known(const SourceFile& source) {
    return !source.stream || source.ended;
}

// Reads a stream on to `end` (unknown_length: to its own end), dropping what it has not
// read yet, so that its writer is not cut off and, at its end, its length is known. A
// file is measured already. False when a read failed.
bool finish_source(SourceFile& source, u64 end = unknown_length);

// Opens the file at `path` for reading and measures it. False when either fails.
bool open_source(SourceFile& source, const std::filesystem::path& path);
void close_source(SourceFile& source);

// Lets go of what reading held of the source but its handle, which stays with its owner.
void release_source(SourceFile& source);

// Reads up to `size` bytes at `offset` into `buffer` and returns how many it got: fewer
// only where the file ends or a read fails. A stream is read on to `offset` first.
std::size_t read_up_to(SourceFile& source, u64 offset, void* buffer, std::size_t size);

// One read of up to `size` bytes at `offset` in a file (no stream): fewer where the file
// ends there, or the read failed; a regular file's short read is its end.
std::size_t read_once(SourceFile& source, u64 offset, void* buffer, std::size_t size);

// The process's standard output, to write chunks to.
FileHandle standard_output();

// Told how many more bytes were copied, a piece at a time; `add` may be null.
struct CopyProgress {
    void (*add)(void* context, u64 bytes) = nullptr;
    void* context = nullptr;
};

inline void tell_copied(const CopyProgress& progress, u64 bytes) {
    if (progress.add != nullptr) progress.add(progress.context, bytes);
}

// Appends `size` bytes from `offset` in `source` to `out`, in bounded pieces or inside
// the kernel, never holding the range in memory. False when a read or write failed or
// the source ended early.
bool copy_range(SourceFile& source, u64 offset, u64 size, FileHandle out, const CopyProgress& progress = {});

// The same for a file (no stream) that another process may change as it is read: read,
// inside the kernel or through a buffer, never through a view of its memory, so that a
// file cut short meanwhile ends the copy early instead of failing it as a bad address.
bool copy_file_bytes(SourceFile& source, u64 offset, u64 size, FileHandle out, const CopyProgress& progress = {});

}  // namespace kp
