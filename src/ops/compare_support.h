// What the two comparisons share: windows onto each side's bytes, and the entries'
// keys and descriptions.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/update_archive.h"
#include "fs/copy.h"
#include "ops/compare.h"

namespace kp {

// Both sides are read a piece of this size at a time: large enough that the reads cost
// little next to the comparing, small enough that both pieces stay in the processor's
// cache, into which the kernel copies twice as fast as into 1 MiB ones (measured).
inline constexpr std::size_t compare_piece = std::size_t{128} << 10;

// A window onto one side's file: entries lie one after another there, so a window read
// in one call serves the many small ones it holds, and a large one piece by piece.
struct Window {
    SourceFile* file = nullptr;
    std::unique_ptr<unsigned char[]> bytes = std::make_unique_for_overwrite<unsigned char[]>(compare_piece);
    u64 offset = 0;
    std::size_t size = 0;

    // The `length` bytes at `at` (at most a piece), read on when the window does not hold
    // them all, keeping what it holds from `at` on: a stream cannot give those again.
    // Null when the file ends before them.
    const unsigned char* view(u64 at, std::size_t length);
};

// Where the `size` bytes at `offset` in one window's file and at `other_offset` in the
// other's first differ, counted from their start, as cmp counts; none when they are the
// same. Where either could not be read, the first byte that was not.
std::optional<u64> first_difference(Window& a, u64 offset, Window& b, u64 other_offset, u64 size);

// Whether `source` can still give the `ranges` in this order: a file always; a stream
// where it has passed none of them and each starts no earlier than the one before.
bool readable_in_order(const SourceFile& source, const std::vector<ByteRange>& ranges);

// The key of an entry's file, kept in `storage` where it is not the name itself.
std::string_view key_of(const EntryRecord& entry, std::deque<std::string>& storage);

DiffEntry diff_entry_of(const EntryRecord& entry, u32 position);

}  // namespace kp
