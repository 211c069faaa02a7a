// What the operations on an archive find, as plain data for whoever renders it: the
// check of the data region, and extraction's events as each entry is done.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
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

enum class EntryResult : unsigned char { written, skipped, failed };

// The rule of safe names that a name breaks.
enum class NameFault : unsigned char {
    none,
    empty,
    absolute,            // starts with a separator
    colon,               // a drive or a stream
    control,             // a control character or DEL
    parent,              // a ".." part
    no_file,             // ends in a separator or a "." part
    device,              // Windows: a part that names a device
    trailing_dot_space,  // Windows: a part that ends in a dot or a space
};

// Why an entry was not written.
enum class EntryFailure : unsigned char {
    none,
    unsafe_name,   // a name extraction refuses
    outside_file,  // its bytes do not lie wholly inside the update file
    directory,     // a part of its name could not be opened or made as a directory
    exists,        // its name is taken and was to be kept
    passed,        // its bytes lie where a stream has passed (its chunk wraps back)
    write,         // the new file could not be made, written or named
    stripped,      // skipped: --strip-components leaves no part of its name
};

// What a selection asked for and found nothing for, each as it was given.
struct SelectionMisses {
    std::vector<std::string_view> names;      // names that no entry has
    std::vector<std::string_view> patterns;   // patterns that no entry's name matches
    std::vector<std::string_view> indexes;    // index numbers that no entry carries
    std::vector<std::string_view> positions;  // positions past the directory's end
    // For each of `patterns`, how many names "**/" before it would match: '*' stops at '/'.
    std::vector<std::size_t> deeper_matches;
    // Of `names`, those given after FILE, as tar takes them; and for each, whether it is an
    // update file itself, as when a shell expanded *.update.
    std::vector<std::string_view> members;
    std::vector<bool> members_updates;
};

// Whether anything asked for was not found.
bool anything_missing(const SelectionMisses& missing);

// Why an entry was not written, with what the check found.
struct EntryProblem {
    EntryFailure failure = EntryFailure::none;
    NameFault name_fault = NameFault::none;  // unsafe_name: the rule the name breaks
    u64 past_end = 0;                        // outside_file: how far its bytes reach past the file's end
    std::string part;                        // directory: the part that is no directory; unsafe_name: the part
    std::string system_text;                 // what the system said, where it said anything
};

// Extraction tells what it does as it goes, so that text can appear at once and a
// document can gather it; any of the calls may be null.
struct ExtractionEvents {
    void* context = nullptr;
    // The work ahead: the bytes and the entries to write.
    void (*begin)(void* context, u64 bytes, u64 entries) = nullptr;
    // More bytes written, a piece at a time.
    void (*copied)(void* context, u64 bytes) = nullptr;
    // The entry at `position` is done: where it was written (empty on standard output),
    // or why not.
    void (*entry)(void* context, u32 position, EntryResult result, const EntryProblem& problem,
                  std::string_view path) = nullptr;
    void (*end)(void* context) = nullptr;
    bool paths = true;  // `entry` is told the paths written; without, they are not made
};

// What changed from an old side (another update file, or a directory) to the new one,
// entries matched by the file they write.
struct DiffEntry {
    std::string name;  // the new side's name; the old side's where only it has the file
    u32 position = 0;  // on the side that has it; for a change, the new side
    u32 old_position = 0;
    u32 index = 0;  // on the side that has it; for a change, the new side
    u32 old_index = 0;
    u64 size = 0;  // likewise
    u64 old_size = 0;
    // For a change, what differs.
    bool index_differs = false;
    bool size_differs = false;
    unsigned signatures = 0;  // bit i set: signature i + 1 differs
    bool bytes_differ = false;
    std::optional<u64> first_difference;  // where the own bytes first differ, where they were compared
    bool not_regular = false;             // a directory's: a link, a directory or another kind of file is there
};

// A name on a directory's side that could not be looked at: never the same, added or
// changed, since nobody saw what it holds.
struct DiffUnreadable {
    std::string name;  // the directory or file, under the side compared
    std::string text;  // what the system said
};

struct DiffDamage {
    std::string name;
    bool old_side = false;  // the damage is in the old update file
    u64 past_end = 0;       // how far the entry's bytes reach past the end of its file
};

// A side of a comparison.
enum class DiffSide : unsigned char { none, fresh, old };

struct DiffReport {
    // A side that is a stream which has passed bytes the comparison needs, or would need
    // them out of the order they lie in: nothing was compared then, for nothing could be.
    DiffSide passed = DiffSide::none;
    bool directory = false;  // the old side is a directory
    std::string other;       // the old side as given
    bool version_differs = false;
    std::string old_version;
    std::string new_version;
    std::vector<DiffEntry> added;    // the new side has them, the old one not
    std::vector<DiffEntry> removed;  // the old update file has them, the new one not
    std::vector<DiffEntry> changed;
    std::vector<std::string> extra;  // a directory's files that no entry names, and directories too deep for one
    std::vector<DiffDamage> damaged;
    std::vector<DiffUnreadable> unreadable;
    u64 same = 0;
};

// Whether the two sides differ in anything.
bool sides_differ(const DiffReport& report);

}  // namespace kp
