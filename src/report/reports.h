// The three reports on a loaded archive, printed to the console given. Each prints nothing
// unless the load succeeded.
#pragma once

#include <vector>

#include "archive/update_archive.h"
#include "console/console.h"

namespace kp {

// What the I64 conversions take, whatever u64 is called on this platform.
inline unsigned long long wide(u64 value) {
    return value;
}

// A warning for each entry left out of its group, as far as the directory was read:
// also before a load that failed. With `to_stderr` on standard error, plain, so that
// standard output carries nothing but rows or sums.
void print_mismatches(ConsoleOutput& console, const UpdateArchive& archive, bool to_stderr = false);

// Version text, file count, start of data and total size.
void print_version_summary(ConsoleOutput& console, const UpdateArchive& archive);

// One line per entry in directory order (index, size, offset, name), then the totals.
void print_directory_listing(ConsoleOutput& console, const UpdateArchive& archive);

// The listing's rows of the entries at `positions`, alone, each ending in `end` (a line
// feed, or with --null a NUL): what --list prints.
void print_listing_rows(ConsoleOutput& console, const UpdateArchive& archive, const std::vector<u32>& positions,
                        char end = '\n');

// Each first signature shared by two or more accepted entries, with those entries.
void print_signature_groups(ConsoleOutput& console, const UpdateArchive& archive);

}  // namespace kp
