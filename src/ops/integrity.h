// What the loader does not check: whether the data region is all there, and what would
// surprise someone extracting the archive.
#pragma once

#include <cstddef>
#include <vector>
#include "archive/update_archive.h"
#include "fs/copy.h"
#include "ops/names.h"
#include "ops/selection.h"

namespace kp {

// A finding about the entry at `position`.
struct EntryFinding {
    u32 position = 0;
    u64 bytes = 0;  // damage: how far the chunk reaches past the end of the file
    u32 later = 0;  // a repeated index number or name: the later entry that wins
};

struct IntegrityReport {
    u64 file_length = 0;
    u64 declared_end = 0;                        // where the directory says the data region ends
    std::vector<EntryFinding> outside;           // damage: chunks not wholly inside the file
    bool region_in_directory = false;            // note: entry 0's chunk starts with the last record
    u64 trailing_bytes = 0;                      // note: bytes after the declared end
    std::vector<EntryFinding> refused;           // note: names extraction would refuse
    std::vector<EntryFinding> repeated_indexes;  // note: entries that an index number cannot select
    std::vector<EntryFinding> repeated_names;    // note: entries that --all does not write
    std::size_t mismatches = 0;                  // second-signature mismatches, found while loading
};

// How many bytes short of its declared end the file is; 0 when it is not.
u64 short_by(const IntegrityReport& report);

// The number of notes: the data region inside the directory and trailing bytes count as
// one each, every entry finding as one.
std::size_t note_count(const IntegrityReport& report);

// Checks a loaded archive against the length of its file, with the name rules of
// extraction.
IntegrityReport check_integrity(const UpdateArchive& archive, u64 file_length, NameRules rules);

// The same for the archive's own file, open in `source` and measured when it was opened,
// with this platform's rules; a stream is read to its end first. The notes (refused
// names, repeated index numbers and names) leave out the entries `excludes` names;
// damage stays, whatever is excluded.
IntegrityReport check_archive_file(const UpdateArchive& archive, SourceFile& source, const Exclusions& excludes);

}  // namespace kp
