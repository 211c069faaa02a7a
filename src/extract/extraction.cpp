#include "extract/extraction.h"

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "archive/file_path.h"
#include "extract/names.h"
#include "extract/pattern.h"

namespace kp {

namespace {

// The directory that the parts `parts` lead to under the target, opened from the
// directories the last entry walked where the two agree. No_file when a part cannot be
// opened (or made): it is no directory, or a link where links are refused.
FileHandle walk_to(Extraction& extraction, const std::vector<std::filesystem::path>& parts) {
    if (!extraction.root_tried) {
        extraction.root_tried = true;
        extraction.root = open_target_directory(file_path(extraction.target.directory));
        interruptions_guarded();
    }
    if (extraction.root == no_file) return no_file;
    std::size_t common = 0;
    while (common < parts.size() && common < extraction.walked.size() && parts[common] == extraction.walked[common]) {
        ++common;
    }
    while (extraction.walked.size() > common) {
        close_directory(extraction.handles.back());
        extraction.handles.pop_back();
        extraction.walked.pop_back();
    }
    const bool make = extraction.target.make_directories;
    for (std::size_t i = common; i < parts.size(); ++i) {
        const FileHandle parent = i == 0 ? extraction.root : extraction.handles[i - 1];
        const FileHandle opened = open_subdirectory(parent, parts[i], make, !make);
        if (opened == no_file) return no_file;
        extraction.walked.push_back(parts[i]);
        extraction.handles.push_back(opened);
    }
    return parts.empty() ? extraction.root : extraction.handles.back();
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
    // From the end, so that of several entries that write one file the latest is kept.
    std::unordered_set<std::string> files;
    for (std::size_t position = count; position-- > 0;) {
        if (!chosen[position]) continue;
        if (!files.insert(name_key(record_text(archive.entries[position].record.name), native_name_rules())).second) {
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
    extraction.source_open = archive.loaded && open_source(extraction.source, file_path(archive.path));
}

void extraction_end(Extraction& extraction) {
    if (extraction.source_open) close_source(extraction.source);
    extraction.source_open = false;
    for (const FileHandle handle : extraction.handles) close_directory(handle);
    extraction.handles.clear();
    extraction.walked.clear();
    close_directory(extraction.root);
    extraction.root = no_file;
    if (extraction.root_tried) interruptions_unguarded();
    extraction.root_tried = false;
}

EntryOutcome write_entry_file(Extraction& extraction, const EntryRecord& entry) {
    const auto failed = [](EntryFailure failure) { return EntryOutcome{EntryResult::failed, failure}; };
    const std::string_view name = record_text(entry.record.name);
    if (!is_safe_entry_name(name)) return failed(EntryFailure::unsafe_name);
    u64 offset = 0;
    u64 size = 0;
    if (!extraction.source_open ||
        !entry_range(entry, extraction.target.trim, extraction.source.length, offset, size)) {
        return failed(EntryFailure::outside_file);
    }
    // The parts as the file system takes them; "a//b" and "a/./b" are "a/b".
    std::vector<std::filesystem::path> parts;
    for (const std::filesystem::path& part : file_path(name)) {
        if (!part.empty() && part != ".") parts.push_back(part);
    }
    const std::filesystem::path leaf = parts.back();  // a safe name ends in a part that names a file
    parts.pop_back();
    const FileHandle directory = walk_to(extraction, parts);
    if (directory == no_file) return failed(EntryFailure::directory);

    NewFile file;
    if (!create_pending(file, directory, leaf)) return failed(EntryFailure::write);
    if (!copy_range(extraction.source, offset, size, file.handle, extraction.progress)) {
        discard_pending(file);
        return failed(EntryFailure::write);
    }
    switch (commit_pending(file, leaf, extraction.target.existing)) {
        case Placed::written:
            return {EntryResult::written, EntryFailure::none};
        case Placed::kept:
            if (extraction.target.existing == Existing::skip) return {EntryResult::skipped, EntryFailure::exists};
            return failed(EntryFailure::exists);
        case Placed::failed:
            break;
    }
    return failed(EntryFailure::write);
}

EntryOutcome write_entry_to_output(Extraction& extraction, const EntryRecord& entry) {
    u64 offset = 0;
    u64 size = 0;
    if (!extraction.source_open ||
        !entry_range(entry, extraction.target.trim, extraction.source.length, offset, size)) {
        return {EntryResult::failed, EntryFailure::outside_file};
    }
    if (!copy_range(extraction.source, offset, size, standard_output(), extraction.progress)) {
        return {EntryResult::failed, EntryFailure::write};
    }
    return {EntryResult::written, EntryFailure::none};
}

std::string written_path(const std::string& directory, std::string_view name) {
    if (directory.empty()) return std::string(name);
    const char last = directory.back();
    return directory + (last == '/' || last == '\\' ? "" : "/") + std::string(name);
}

ExtractionSummary extract_entries(const UpdateArchive& archive, const SelectedEntries& selected,
                                  const ExtractTarget& target, const ExtractionEvents& events) {
    if (events.unmatched != nullptr) {
        for (const std::string_view name : selected.missing_names) events.unmatched(events.context, false, name);
        for (const std::string_view pattern : selected.missing_patterns)
            events.unmatched(events.context, true, pattern);
    }
    u64 total_bytes = 0;
    for (const u32 position : selected.positions) {
        u64 offset = 0;
        u64 size = 0;
        entry_range(archive.entries[position], target.trim, ~u64{0}, offset, size);
        total_bytes += size;
    }
    if (events.begin != nullptr) events.begin(events.context, total_bytes, selected.positions.size());

    Extraction extraction;
    extraction.progress = {events.copied, events.context};
    extraction_begin(extraction, archive, target);
    ExtractionSummary summary;
    for (const u32 position : selected.positions) {
        const EntryRecord& entry = archive.entries[position];
        const EntryOutcome outcome =
            target.to_stdout ? write_entry_to_output(extraction, entry) : write_entry_file(extraction, entry);
        ++(outcome.result == EntryResult::written   ? summary.written
           : outcome.result == EntryResult::skipped ? summary.skipped
                                                    : summary.failed);
        if (events.entry != nullptr) {
            const std::string path = outcome.result == EntryResult::written && !target.to_stdout
                                         ? written_path(target.directory, record_text(entry.record.name))
                                         : std::string();
            events.entry(events.context, position, outcome.result, outcome.failure, path);
        }
    }
    extraction_end(extraction);
    if (events.end != nullptr) events.end(events.context);
    return summary;
}

}  // namespace kp
