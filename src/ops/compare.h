// What changed between an update file and an older one, or the directory it was
// extracted to: entries matched by the file they write, bytes compared in bounded pieces.
#pragma once

#include <string>
#include <vector>

#include <optional>
#include "archive/update_archive.h"
#include "fs/copy.h"
#include "ops/pattern.h"

namespace kp {

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

// Compares the entries of `fresh` at `positions` with those of `old` at `old_positions`
// (each side's latest entry of every file, as select_entries gives them), each side read
// from its open source: the version texts, then for each file on both sides its index
// number, size, signatures and own bytes, which are read only where the sizes agree and
// only up to the first difference. A stream is read to its end.
void compare_archives(const UpdateArchive& fresh, const std::vector<u32>& positions, SourceFile& fresh_source,
                      const UpdateArchive& old, const std::vector<u32>& old_positions, SourceFile& old_source,
                      DiffReport& report);

// How a directory is compared.
struct DirectoryComparison {
    bool padded = false;                   // its files hold whole chunks, as --padded extracts them
    bool list_extra = false;               // its files that no entry names are listed
    const Exclusions* excludes = nullptr;  // names left out of what is listed; never null
};

// Compares the entries of `fresh` at `positions` with the files of the same names under
// `directory`, open already, each reached through the handles of the directories on its
// way: a file is the same when it holds exactly what extraction would write of the entry,
// its own bytes or with `padded` its whole chunk. A missing file, or one reached through a
// link, is added; a link, directory or other kind of file there is changed, and never
// read. With `list_extra`, the files under `directory` that no entry of `fresh` names are
// listed too (links not followed, names `excludes` takes left out), and each directory
// too deep for any name below it as itself, without entering it. A directory or file that
// cannot be opened or read is unreadable, never anything else. An entry whose own bytes
// lie past the end of `fresh_source` is damage, whatever the directory holds.
void compare_with_directory(const UpdateArchive& fresh, const std::vector<u32>& positions, SourceFile& fresh_source,
                            FileHandle directory, const DirectoryComparison& how, DiffReport& report);

}  // namespace kp
