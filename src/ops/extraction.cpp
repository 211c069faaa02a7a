#include "ops/extraction.h"

#include <string>

#include "fs/file_path.h"
#include "fs/interruptions.h"
#include "fs/stream.h"
#include "ops/entry_bytes.h"
#include "ops/names.h"

namespace kp {

namespace {

// The name up to the end of its part number `count` (from 1), counting only the parts
// that name something, as the archive spells it.
std::string_view name_through(std::string_view name, std::size_t count) {
    NameParts parts{name, native_name_rules()};
    for (NamePart part; next_part(parts, part);) {
        if (part.names() && --count == 0) return name.substr(0, part.end);
    }
    return name;
}

// The directory that the parts `parts` lead to under the target. No_file when a part
// cannot be opened (or made): it is no directory, or a link where links are refused;
// `problem` then says which part of `name` and why.
FileHandle directory_for(Extraction& extraction, std::string_view name, const std::vector<std::filesystem::path>& parts,
                         EntryProblem& problem) {
    const ExtractTarget& target = extraction.target;
    if (!extraction.root_tried) {
        extraction.root_tried = true;
        extraction.walk.root = target.root;
        extraction.walk.create = target.make_directories;
        extraction.walk.follow_links = !target.make_directories;
    }
    if (extraction.walk.root == no_file) {
        problem.part = target.directory.empty() ? "." : target.directory;
        problem.system_text = target.root_error;
        return no_file;
    }
    std::size_t reached = 0;
    DirectoryError error;
    const FileHandle directory = walk_to(extraction.walk, parts, reached, error);
    if (directory == no_file) {
        problem.part = name_through(name, reached + 1);
        problem.system_text = error.not_a_directory ? std::string() : error.text;
    }
    return directory;
}

std::string_view written_name(const ExtractTarget& target, const EntryRecord& entry) {
    return stripped_name(record_text(entry.record.name), target.strip, native_name_rules());
}

}  // namespace

void extraction_begin(Extraction& extraction, const UpdateArchive& archive, const ExtractTarget& target,
                      SourceFile& source) {
    extraction.target = target;
    extraction.source = &source;
    extraction.source_open = archive.loaded;
    if (target.guard) guard_interruptions();
}

void extraction_end(Extraction& extraction) {
    extraction.source_open = false;
    walk_end(extraction.walk);
    extraction.walk.root = no_file;
    extraction.root_tried = false;
    if (extraction.target.guard) unguard_interruptions();
}

EntryOutcome write_entry_file(Extraction& extraction, const EntryRecord& entry) {
    EntryOutcome outcome;
    EntryProblem& problem = outcome.problem;
    const auto failed = [&outcome](EntryFailure failure) {
        outcome.problem.failure = failure;
        return outcome;
    };
    const std::string_view name = written_name(extraction.target, entry);
    if (name.empty() && extraction.target.strip != 0) {
        outcome.result = EntryResult::skipped;  // never at the target itself
        return failed(EntryFailure::stripped);
    }
    // The containment rules hold for what is written: the name left once stripped.
    if (name_refused(name, problem)) return outcome;
    if (!extraction.source_open) return failed(EntryFailure::write);
    SourceFile& source = *extraction.source;
    const ByteRange range = written_bytes(entry, extraction.target.padded);
    tell_problem(bytes_problem(source, range), problem);
    if (problem.failure != EntryFailure::none) return outcome;
    std::vector<std::filesystem::path> parts = name_parts(name);
    const std::filesystem::path leaf = parts.back();  // a safe name ends in a part that names a file
    parts.pop_back();
    const FileHandle directory = directory_for(extraction, name, parts, problem);
    if (directory == no_file) return failed(EntryFailure::directory);

    PendingFile file;
    if (!create_pending_file(file, directory, leaf, true)) {
        problem.system_text = last_error_text();
        return failed(EntryFailure::write);
    }
    tell_problem(copy_bytes(source, range, file.handle, extraction.progress), problem);
    if (problem.failure != EntryFailure::none) {
        discard_pending_file(file);
        return outcome;
    }
    switch (commit_pending_file(file, leaf, extraction.target.existing)) {
        case Placed::written:
            outcome.result = EntryResult::written;
            return outcome;
        case Placed::kept:
            if (extraction.target.existing == Existing::skip) outcome.result = EntryResult::skipped;
            problem.failure = EntryFailure::exists;
            return outcome;
        case Placed::failed:
            break;
    }
    problem.system_text = last_error_text();
    return failed(EntryFailure::write);
}

EntryOutcome write_entry_to_output(Extraction& extraction, const EntryRecord& entry) {
    EntryOutcome outcome;
    if (!extraction.source_open) {
        outcome.problem.failure = EntryFailure::write;
        return outcome;
    }
    const ByteRange range = written_bytes(entry, extraction.target.padded);
    tell_problem(copy_bytes(*extraction.source, range, standard_output(), extraction.progress), outcome.problem);
    if (outcome.problem.failure == EntryFailure::none) outcome.result = EntryResult::written;
    return outcome;
}

std::string written_path(const std::string& directory, std::string_view name) {
    if (directory.empty()) return std::string(name);
    const bool separated = is_name_separator(directory.back(), native_name_rules());
    return directory + (separated ? "" : "/") + std::string(name);
}

ExtractionSummary extract_entries(const UpdateArchive& archive, const SelectedEntries& selected,
                                  const ExtractTarget& target, const ExtractionEvents& events, SourceFile& source) {
    u64 total_bytes = 0;
    for (const u32 position : selected.positions)
        total_bytes += written_bytes(archive.entries[position], target.padded).size;
    // Guarded before the progress line is first drawn, so that no signal leaves it behind.
    Extraction extraction;
    extraction.progress = {events.copied, events.context};
    extraction_begin(extraction, archive, target, source);
    if (events.begin != nullptr) events.begin(events.context, total_bytes, selected.positions.size());
    ExtractionSummary summary;
    for (const u32 position : selected.positions) {
        const EntryRecord& entry = archive.entries[position];
        const EntryOutcome outcome =
            target.to_stdout ? write_entry_to_output(extraction, entry) : write_entry_file(extraction, entry);
        ++(outcome.result == EntryResult::written   ? summary.written
           : outcome.result == EntryResult::skipped ? summary.skipped
                                                    : summary.failed);
        if (events.entry != nullptr) {
            const std::string path = events.paths && outcome.result == EntryResult::written && !target.to_stdout
                                         ? written_path(target.directory, written_name(target, entry))
                                         : std::string();
            events.entry(events.context, position, outcome.result, outcome.problem, path);
        }
    }
    extraction_end(extraction);
    if (events.end != nullptr) events.end(events.context);
    return summary;
}

}  // namespace kp
