// The update file as it is read: a file, read at any offset, or a stream (a pipe,
// standard input, a caller's read function), read once and forward.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "console/integers.h"
#include "fs/handle.h"

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

// One of two kinds, as `stream` says. A file uses `handle`, `length`, the view and
// kernel_copy_refused; a stream uses `handle` (or `reader`) and everything from `stream`
// down. The loader's `cursor` and the read failure belong to both.
struct SourceFile {
    // Both kinds.
    FileHandle handle = no_file;
    u64 length = 0;  // a file's length when it was opened; a stream's unknown_length until it has `ended`
    // Where the update file begins in what holds it, which every offset counts from: a
    // file's reads add it; a stream's first `base` bytes were read and dropped.
    u64 base = 0;
    // Where the update file ends, counted as its offsets are: nothing at or past it is read.
    u64 limit = ~u64{0};

    // A file only.
    bool kernel_copy_refused = false;  // a copy between files inside the kernel was refused once
    // A view of the part of the file that small ranges are written from, kept for the next
    // ones, which usually follow in it: null where there is none.
    const unsigned char* view = nullptr;
    u64 view_offset = 0;
    u64 view_size = 0;

    // A stream only: read once, forward, and never measured. `buffer` holds the
    // `buffered` bytes that came last, which end at `position` in the update file.
    bool stream = false;
    bool ended = false;
    u64 position = 0;
    u64 cursor = 0;  // both kinds: where the loader's reads have got to
    std::vector<unsigned char> buffer;
    std::size_t buffered = 0;
    std::string read_failure;  // both kinds: what the system said when a read failed
    int read_error = 0;        // and its errno, where it gave one
    StreamTap tap;             // while set, a stream's bytes go through this process, not around it
    StreamReader reader;       // set: a stream read through it, never through `handle`
    // How much of what a stream gave last stays readable behind what it gives next: what
    // the format reads twice, which its reader says.
    std::size_t keep_back = 0;

    bool is_stream() const { return stream; }
    bool has_view() const { return view != nullptr; }
    bool has_reader() const { return reader.read != nullptr; }
};

// The length of a stream not yet read to its end.
inline constexpr u64 unknown_length = ~u64{0};

// Whether the source's length is known: a file's always, a stream's once it has ended.
inline bool length_known(const SourceFile& source) {
    return !source.is_stream() || source.ended;
}

// Opens the file at `path` for reading and measures it. False when either fails.
bool open_source(SourceFile& source, const std::filesystem::path& path);
void close_source(SourceFile& source);

// Lets go of what reading held of the source (a file's view) but its handle, which stays
// with its owner.
void release_source(SourceFile& source);

// Makes the source the update file that begins `offset` bytes into it: a file's reads
// and length count from there (nothing of it is left past its end); a stream's first
// `offset` bytes are read and dropped. False when reading them failed.
bool start_source_at(SourceFile& source, u64 offset);

// Ends the source at `end`, where the update file in it ends: what follows is not its
// bytes, so a file's length stops there and a stream is read no further.
void end_source_at(SourceFile& source, u64 end);

// How many of the `size` bytes at `offset` lie before the source's limit.
inline u64 within_limit(const SourceFile& source, u64 offset, u64 size) {
    return offset >= source.limit ? 0 : std::min(size, source.limit - offset);
}

// Reads up to `size` bytes at `offset` into `buffer` and returns how many it got: fewer
// only where the file ends or a read fails. A stream is read on to `offset` first.
std::size_t read_up_to(SourceFile& source, u64 offset, void* buffer, std::size_t size);

// One read of up to `size` bytes at `offset` in a file (no stream): fewer where the file
// ends there, or the read failed; a regular file's short read is its end.
std::size_t read_once(SourceFile& source, u64 offset, void* buffer, std::size_t size);

// Reads a stream on to `end` (unknown_length: to its own end), dropping what it has not
// read yet, so that its writer is not cut off and its length becomes known. Nothing for a
// file. False when a read failed.
bool finish_source(SourceFile& source, u64 end = unknown_length);

}  // namespace kp
