// What the operations on an archive find, as plain data for whoever renders it: the
// check of the data region, and extraction's events as each entry is done.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "archive/records.h"

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
    std::size_t mismatches = 0;                  // second-signature mismatches, found while loading
};

// How many bytes short of its declared end the file is; 0 when it is not.
u64 short_by(const IntegrityReport& report);

// The number of notes: trailing bytes count as one, every entry finding as one.
std::size_t note_count(const IntegrityReport& report);

enum class EntryResult : unsigned char { written, skipped, failed };

// Why an entry was not written.
enum class EntryFailure : unsigned char {
    none,
    unsafe_name,   // a name extraction refuses
    outside_file,  // its bytes do not lie wholly inside the update file
    directory,     // a part of its name could not be opened or made as a directory
    exists,        // its name is taken and was to be kept
    write,         // the new file could not be made, written or named
};

// Extraction tells what it does as it goes, so that text can appear at once and a
// document can gather it; any of the calls may be null.
struct ExtractionEvents {
    void* context = nullptr;
    // A name (`pattern` false) or pattern asked for that no entry has, in the order given,
    // names first; all before `begin`.
    void (*unmatched)(void* context, bool pattern, std::string_view text) = nullptr;
    // The work ahead: the bytes and the entries to write.
    void (*begin)(void* context, u64 bytes, u64 entries) = nullptr;
    // More bytes written, a piece at a time.
    void (*copied)(void* context, u64 bytes) = nullptr;
    // The entry at `position` is done: where it was written (empty on standard output),
    // or why not.
    void (*entry)(void* context, u32 position, EntryResult result, EntryFailure failure,
                  std::string_view path) = nullptr;
    void (*end)(void* context) = nullptr;
};

}  // namespace kp
