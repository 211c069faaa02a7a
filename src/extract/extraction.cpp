#include "extract/extraction.h"

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "archive/file_path.h"
#include "extract/names.h"
#include "extract/pattern.h"

namespace kp {

namespace {

// Creates the directories that `name` needs under `base`, one part at a time. A part
// that exists must be a directory itself, not a link to one: a name from the archive
// must not lead outside the target.
bool make_parent_directories(const std::filesystem::path& base, std::string_view name) {
    const NameRules rules = native_name_rules();
    for (std::size_t stop = 0; stop < name.size(); ++stop) {
        if (!is_name_separator(name[stop], rules)) continue;
        // Each directory is the name up to a separator, converted as the whole name is.
        const std::filesystem::path directory = base / file_path(name.substr(0, stop));
        if (path_kind(directory) == PathKind::missing) make_directory(directory);  // or another run just did
        if (path_kind(directory) != PathKind::directory) return false;
    }
    return true;
}

}  // namespace

const EntryRecord* find_entry_by_index(const UpdateArchive& archive, i32 index) {
    if (!archive.loaded) return nullptr;
    for (auto entry = archive.entries.rbegin(); entry != archive.entries.rend(); ++entry) {
        if (entry->record.index == static_cast<u32>(index)) return &*entry;
    }
    return nullptr;
}

SelectedEntries select_entries(const UpdateArchive& archive, const Selection& selection) {
    SelectedEntries selected;
    if (!archive.loaded) return selected;
    const std::size_t count = archive.entries.size();
    std::vector<bool> chosen(count, selection.all);
    if (selection.index) {
        if (const EntryRecord* entry = find_entry_by_index(archive, *selection.index)) {
            chosen[static_cast<std::size_t>(entry - archive.entries.data())] = true;
        }
    }
    if (!selection.names.empty()) {
        // One pass for all names, so that many names cost no more than a few.
        std::unordered_map<std::string_view, std::size_t> latest;
        for (std::size_t position = 0; position < count; ++position) {
            latest[record_text(archive.entries[position].record.name)] = position;
        }
        for (const std::string& name : selection.names) {
            const auto found = latest.find(name);
            if (found != latest.end()) {
                chosen[found->second] = true;
            } else {
                selected.missing_names.push_back(name);
            }
        }
    }
    for (const std::string& pattern : selection.patterns) {
        bool matched = false;
        for (std::size_t position = 0; position < count; ++position) {
            if (glob_match(pattern, record_text(archive.entries[position].record.name), native_name_rules())) {
                chosen[position] = true;
                matched = true;
            }
        }
        if (!matched) selected.missing_patterns.push_back(pattern);
    }
    // From the end, so that of several entries with one name the latest is the one kept.
    std::unordered_set<std::string_view> names;
    for (std::size_t position = count; position-- > 0;) {
        if (chosen[position] && !names.insert(record_text(archive.entries[position].record.name)).second) {
            chosen[position] = false;
        }
    }
    for (std::size_t position = 0; position < count; ++position) {
        if (chosen[position]) selected.positions.push_back(static_cast<u32>(position));
    }
    return selected;
}

bool entry_range(const EntryRecord& entry, bool trim, u64 file_length, u64& offset, u64& size) {
    offset = entry.data_offset;
    size = trim ? entry.record.size : entry.chunk_size;
    return offset + size <= file_length;  // both below 2^32: no overflow in 64 bits
}

void extraction_begin(Extraction& extraction, const UpdateArchive& archive, const ExtractTarget& target) {
    extraction.target = target;
    extraction.base = file_path(target.directory);
    extraction.source_open = archive.loaded && open_source(extraction.source, file_path(archive.path));
}

void extraction_end(Extraction& extraction) {
    if (extraction.source_open) close_source(extraction.source);
    extraction.source_open = false;
}

bool write_entry_file(Extraction& extraction, const EntryRecord& entry) {
    const std::string_view name = record_text(entry.record.name);
    u64 offset = 0;
    u64 size = 0;
    if (!is_safe_entry_name(name) || !extraction.source_open ||
        !entry_range(entry, extraction.target.trim, extraction.source.length, offset, size)) {
        return false;
    }
    if (extraction.target.make_directories && !make_parent_directories(extraction.base, name)) return false;

    const std::filesystem::path target = extraction.base / file_path(name);
    NewFile file;
    if (!create_pending(file, target)) return false;
    if (copy_range(extraction.source, offset, size, file.handle, extraction.progress)) {
        return commit_pending(file, target);
    }
    discard_pending(file);
    return false;
}

bool write_entry_to_output(Extraction& extraction, const EntryRecord& entry) {
    u64 offset = 0;
    u64 size = 0;
    return extraction.source_open &&
           entry_range(entry, extraction.target.trim, extraction.source.length, offset, size) &&
           copy_range(extraction.source, offset, size, standard_output(), extraction.progress);
}

}  // namespace kp
