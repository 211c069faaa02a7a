// Update files that arrive as a stream (a pipe, standard input, a device): read once,
// from start to end, never sought in and never measured.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "fs/copy.h"
#include "fs/source.h"

namespace kp {

enum class InputKind : unsigned char {
    file,       // read with offsets: a regular file; on POSIX also a directory, whose reads fail
    directory,  // a directory, opened as one where one was asked for
    stream,     // read once, forward, from `source`
    terminal,   // not to be read: nobody types an update file
    unopened,   // it would not open: the system says why
};

// Where a path that does not open is tried once more: under the current directory, as
// its handle on POSIX (a leading '/' dropped, as the joined name would have it) and as
// the base directory's text on Windows.
struct RetryUnder {
    FileHandle directory = no_file;
    std::string base_directory;
};

// Opens an update file once, for every step that reads it: "-" is standard input, and a
// path that does not open is tried again under `retry`. A regular file is measured;
// anything else that is no directory is a stream. With `directories`, a directory opens
// as one, in `source.handle`; without, it is what the loader will refuse. The source is
// left open unless unopened, with why in `system_text`.
InputKind open_input(SourceFile& source, std::string_view path, const RetryUnder& retry, bool directories,
                     std::string& system_text);

// The same for a descriptor another part of the process holds, which is duplicated: the
// caller keeps its own. Unopened where it is no open descriptor; a terminal is not read.
InputKind open_descriptor_input(SourceFile& source, int descriptor, std::string& system_text);

// The handle behind a descriptor of the process, to write to; no_file where there is none.
FileHandle descriptor_handle(int descriptor);

// Every byte of the file at `path` ("-": standard input), read once from start to end. False
// when it would not open or a read failed, with why in `system_text`; false too, with
// `system_text` empty and its length (for a stream, not read to its end, unknown_length) in
// `too_large`, when it holds more than `most` bytes, which are then not all read.
bool read_whole_file(std::string_view path, std::string& bytes, std::string& system_text, u64 most = unknown_length,
                     u64* too_large = nullptr);

// The loader's reads from any source: up to `size` bytes from its `cursor` on, fewer
// only where the data ends or a read fails (what the system said then in read_failure).
std::size_t read_at_cursor(SourceFile& source, unsigned char* buffer, std::size_t size);

// A stream's part of read_at_cursor.
std::size_t read_stream_at_cursor(SourceFile& source, unsigned char* buffer, std::size_t size);

// Reads on to `end`, or to the stream's end for unknown_length, dropping the bytes.
// False when a read failed.
bool skip_stream(SourceFile& source, u64 end);

// Reads and drops the first `offset` bytes of a stream nothing was read of yet, whose
// offsets then count from there. False when a read failed.
bool drop_stream_start(SourceFile& source, u64 offset);

// Drops what a stream gave past its limit, where its next read finds its end, as a
// stream that ends there would.
void drop_past_limit(SourceFile& source);

// Reads on until the buffer holds the whole range at `offset` where it fits, so that a
// stream that ends before the range does is found out before anything is made for it.
// False when it ended so; true for a range too large to hold, and for a file.
bool stream_read_ahead(SourceFile& source, u64 offset, u64 size);

// Whether the stream has gone past `offset` for good, so that a range starting there
// can no longer be read.
bool stream_passed(const SourceFile& source, u64 offset);

// The same for the `size` bytes at `offset`: a range of no bytes needs nothing read, and
// is never passed.
bool stream_passed(const SourceFile& source, u64 offset, u64 size);

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
