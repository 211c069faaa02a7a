// Choosing the entries that the command line's selectors pick.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <string_view>
#include "archive/update_archive.h"
#include "ops/pattern.h"

namespace kp {

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

// The entry carrying `index` (compared as a 32-bit pattern), the latest in the
// directory when several do; null when none does or nothing is loaded.
const EntryRecord* find_entry_by_index(const UpdateArchive& archive, i32 index);

// What the command line asks for; the entries selected are the union.
struct Selection {
    std::optional<i32> index;           // the entry carrying this index number, if any does
    std::vector<std::string> names;     // the latest entry with each exact name (up to its NUL)
    std::vector<std::string> members;   // the same, named after FILE, as tar takes them
    std::vector<std::string> patterns;  // every entry whose name matches one (glob_match)
    // The latest entry carrying each index number, and the entry at each directory
    // position, whatever later entries hide; each with the text it was given as.
    std::vector<std::pair<u32, std::string>> indexes;
    std::vector<std::pair<u32, std::string>> positions;
    bool all = false;    // every entry
    bool every = false;  // every entry, also those a later one hides (--list alone)
    // No entry whose name matches one of these, or lies in a directory that does, is
    // picked, whatever picked it.
    Exclusions excludes;
    // The leading parts of each name that writing drops (--strip-components); the entries
    // that write one file are found by what is left.
    u32 strip = 0;
};

struct SelectedEntries {
    std::vector<u32> positions;  // ascending directory positions
    SelectionMisses missing;
};

// The entries `selection` picks, in directory order. Of several selected entries that
// write one file (the same name, or names that lead to the same file: see name_key)
// only the latest is kept, since each would replace the one before it.
SelectedEntries select_entries(const UpdateArchive& archive, const Selection& selection);

// What two selections of one Selection both found nothing for: on two sides compared,
// what neither side has.
SelectionMisses missed_by_both(const SelectionMisses& one, const SelectionMisses& other);

}  // namespace kp
