// Update files that arrive as a stream (a pipe, standard input, a device): read once,
// from start to end, never sought in and never measured.
#pragma once

#include <cstdint>
#include <filesystem>

#include "archive/update_archive.h"
#include "extract/copy.h"

namespace kp {

enum class InputKind : unsigned char {
    file,      // read by its path with offsets: a regular file, or what the loader will refuse
    stream,    // read once, forward, from `source`
    terminal,  // not to be read: nobody types an update file
};

// How FILE is read: `standard_input` when it was given as "-". A stream is left open in
// `source`; nothing else is.
InputKind open_input(SourceFile& source, const std::filesystem::path& path, bool standard_input);

// The loader's reads: up to `size` bytes from its `cursor` on, fewer only where the
// stream ends or a read fails.
std::size_t read_stream(SourceFile& source, unsigned char* buffer, std::size_t size);

// The loader's bytes, from a stream opened by open_input.
ByteSource stream_bytes(SourceFile& source);

// Reads on to `end`, or to the stream's end for unknown_length, dropping the bytes.
// False when a read failed.
bool skip_stream(SourceFile& source, u64 end);

// Reads on until the buffer holds the whole range at `offset` where it fits, so that a
// stream that ends before the range does is found out before anything is made for it.
// False when it ended so; true for a range too large to hold, and for a file.
bool stream_read_ahead(SourceFile& source, u64 offset, u64 size);

// Whether the stream has gone past `offset` for good, so that a range starting there
// can no longer be read.
bool stream_passed(const SourceFile& source, u64 offset);

// read_up_to and copy_range for a stream. A range starts no earlier than the bytes
// still buffered; what lies between is read and dropped.
std::size_t read_stream_at(SourceFile& source, u64 offset, unsigned char* buffer, std::size_t size);
bool copy_from_stream(SourceFile& source, u64 offset, u64 size, FileHandle out, const CopyProgress& progress);

// The platform's side. One read of up to `size` bytes: how many came, 0 at the end (with
// no error left standing for last_error_text), -1 when it failed.
std::int64_t stream_read(FileHandle in, unsigned char* buffer, std::size_t size);

// Moves up to `size` bytes from the stream to `out` inside the kernel: how many, 0 at
// the stream's end, -1 when it failed, stream_move_not_offered where it does not apply to
// these two files.
inline constexpr std::int64_t stream_move_not_offered = -2;
std::int64_t stream_move(FileHandle in, FileHandle out, std::size_t size);

}  // namespace kp
