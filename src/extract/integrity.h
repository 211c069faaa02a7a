// What the loader does not check: whether the data region is all there, and what would
// surprise someone extracting the archive.
#pragma once

#include <vector>

#include "archive/update_archive.h"
#include "extract/names.h"

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
    u64 trailing_bytes = 0;                      // note: bytes after the declared end
    std::vector<EntryFinding> refused;           // note: names extraction would refuse
    std::vector<EntryFinding> repeated_indexes;  // note: entries that an index number cannot select
    std::vector<EntryFinding> repeated_names;    // note: entries that --all does not write
    std::size_t mismatches = 0;                  // second-signature mismatches, reported while loading
};

// Checks a loaded archive against the length of its file, with the name rules of
// extraction.
IntegrityReport check_integrity(const UpdateArchive& archive, u64 file_length, NameRules rules);

// How many bytes short of its declared end the file is; 0 when it is not.
u64 short_by(const IntegrityReport& report);

// The number of notes: trailing bytes count as one, every entry finding as one.
std::size_t note_count(const IntegrityReport& report);

}  // namespace kp
