// Choosing entries and writing their chunks: to files under a directory, or to
// standard output, copied from the update file in bounded pieces.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/update_archive.h"
#include "extract/files.h"

namespace kp {

// The entry carrying `index` (compared as a 32-bit pattern), the latest in the
// directory when several do; null when none does or nothing is loaded.
const EntryRecord* find_entry_by_index(const UpdateArchive& archive, i32 index);

// What the command line asks for; the entries selected are the union.
struct Selection {
    std::optional<i32> index;           // the entry carrying this index number, if any does
    std::vector<std::string> names;     // the latest entry with each exact name (up to its NUL)
    std::vector<std::string> patterns;  // every entry whose name matches one (glob_match)
    bool all = false;                   // every entry
};

struct SelectedEntries {
    std::vector<u32> positions;                      // ascending directory positions
    std::vector<std::string_view> missing_names;     // names asked for that no entry has
    std::vector<std::string_view> missing_patterns;  // patterns that no entry's name matches
};

// The entries `selection` picks, in directory order. Of several selected entries with
// one name only the latest is kept, since each would replace the one before it.
SelectedEntries select_entries(const UpdateArchive& archive, const Selection& selection);

// Where the bytes of `entry` lie in the update file: its whole chunk, or with `trim` its
// own size. False when that range does not lie wholly inside a file of `file_length`.
bool entry_range(const EntryRecord& entry, bool trim, u64 file_length, u64& offset, u64& size);

// How chunks are written.
struct ExtractTarget {
    std::string directory;          // where names are written under; empty: the current directory
    bool trim = false;              // each file's own size instead of its padded chunk
    bool make_directories = false;  // create the directories a name needs under `directory`
};

// An extraction under way: the update file, opened once for every entry.
struct Extraction {
    ExtractTarget target;
    std::filesystem::path base;  // target.directory as the file system takes it
    CopyProgress progress;       // told of the bytes as they are written
    SourceFile source;
    bool source_open = false;
};

// Opens the update file by its stored path. Entries written after a failed open fail.
void extraction_begin(Extraction& extraction, const UpdateArchive& archive, const ExtractTarget& target);
void extraction_end(Extraction& extraction);

// Writes the entry to target.directory + its name, atomically: through a new file that
// appears at the target, replacing any file there, only once complete. Unsafe names and
// ranges outside the update file are refused before anything is created. True only
// when every byte reached the target.
bool write_entry_file(Extraction& extraction, const EntryRecord& entry);

// Writes the entry's bytes to standard output. True when every byte was written.
bool write_entry_to_output(Extraction& extraction, const EntryRecord& entry);

}  // namespace kp
