// The bytes of one read of an entry: all that the entry has there, or a failure. FILE
// may have been cut short since the mount began, and the kernel takes a short reply
// for the file's end (it shrinks the size it shows, and a copy "succeeds" cut short),
// so a read that FILE no longer holds in full is an error, never a short reply.
#pragma once

#include <cstddef>

#include "archive/records.h"
#include "fs/copy.h"

namespace kp {

// How many bytes a read of up to `size` at `offset` of an entry of `range` gets: fewer
// than `size` only at the entry's own end, none at or past it.
std::size_t bytes_wanted(const ByteRange& range, u64 offset, std::size_t size);

// Reads the `size` bytes at `offset` in FILE into `buffer`: 0 when all came, -EIO when
// FILE ends before them or the read failed.
int read_whole(SourceFile& source, u64 offset, char* buffer, std::size_t size);

// Moves the `size` bytes at `offset` in FILE into a pipe of the calling thread's, inside
// the kernel, and returns the descriptor they are read from; -1 where the pipe would
// not take them all or FILE gave fewer, and nothing is left in it: read_whole decides
// then. The pipe is emptied by whoever reads from it, before the thread's next call.
int move_whole(SourceFile& source, u64 offset, std::size_t size);

}  // namespace kp
