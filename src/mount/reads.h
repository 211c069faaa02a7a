// The bytes of one read of an entry: all that the entry has there, or a failure. FILE
// may have been cut short since the mount began, and the kernel takes a short reply
// for the file's end (it shrinks the size it shows, and a copy "succeeds" cut short),
// so a read that FILE no longer holds in full is an error, never a short reply.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kpmount {

// Where a file's bytes lie: in FILE, or in the document.
struct Span {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    // Whether it lies wholly inside a file of `length` bytes; an empty one needs none of them.
    bool lies_within(std::uint64_t length) const { return size == 0 || offset + size <= length; }
};

// How many bytes a read of up to `size` at `offset` of a file of `span` gets: fewer
// than `size` only at the file's own end, none at or past it.
std::size_t bytes_wanted(const Span& span, std::uint64_t offset, std::size_t size);

// Reads the `size` bytes at `offset` in FILE (the descriptor `file`) into `buffer`: 0
// when all came, -EIO when FILE ends before them or the read failed.
int read_whole(int file, std::uint64_t offset, char* buffer, std::size_t size);

// Moves the `size` bytes at `offset` in FILE into a pipe of the calling thread's, inside
// the kernel, and returns the descriptor they are read from; -1 where the pipe would
// not take them all or FILE gave fewer, and nothing is left in it: read_whole decides
// then. The pipe is emptied by whoever reads from it, before the thread's next call.
int move_whole(int file, std::uint64_t offset, std::size_t size);

}  // namespace kpmount
