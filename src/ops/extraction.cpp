#include "ops/extraction.h"

#include <string>

#include "fs/file_path.h"
#include "fs/interruptions.h"
#include "fs/stream.h"
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

// Whether the bytes of `entry` lie wholly inside the update file, as far as can be told
// before they are copied; `problem` says why not. A stream is read ahead to find out
// where the range fits in its buffer.
std::string_view written_name(const ExtractTarget& target, const EntryRecord& entry) {
    return stripped_name(record_text(entry.record.name), target.strip, native_name_rules());
}

bool entry_within(SourceFile& source, const ByteRange& range, EntryProblem& problem) {
    // A range past a stream's end is told as a file's would be, whether or not the stream
    // has gone past its start.
    if (stream_passed(source, range.offset, range.size) && range.lies_within(source.length)) {
        problem.failure = EntryFailure::passed;
        return false;
    }
    stream_read_ahead(source, range.offset, range.size);
    if (range.lies_within(source.length)) return true;
    problem.failure = EntryFailure::outside_file;
    problem.past_end = range.past(source.length);
    return false;
}

// Why a copy failed: a stream that ended before the range did is the same as a file
// too short for it; anything else is what the system said.
EntryFailure copy_failure(const SourceFile& source, const ByteRange& range, EntryProblem& problem) {
    if (source.stream && source.ended && !range.lies_within(source.length)) {
        problem.past_end = range.past(source.length);
        problem.system_text = source.read_failure;
        return EntryFailure::outside_file;
    }
    problem.system_text = last_error_text();
    return EntryFailure::write;
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
    problem.name_fault = name_fault(name, native_name_rules(), &problem.part);
    if (problem.name_fault != NameFault::none) return failed(EntryFailure::unsafe_name);
    if (!extraction.source_open) return failed(EntryFailure::write);
    SourceFile& source = *extraction.source;
    const ByteRange range = written_bytes(entry, extraction.target.padded);
    if (!entry_within(source, range, problem)) return outcome;
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
    if (!copy_range(source, range.offset, range.size, file.handle, extraction.progress)) {
        discard_pending_file(file);
        return failed(copy_failure(source, range, problem));
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
    SourceFile& source = *extraction.source;
    const ByteRange range = written_bytes(entry, extraction.target.padded);
    if (!extraction.source_open) {
        outcome.problem.failure = EntryFailure::write;
    } else if (!entry_within(source, range, outcome.problem)) {
    } else if (!copy_range(source, range.offset, range.size, standard_output(), extraction.progress)) {
        outcome.problem.failure = copy_failure(source, range, outcome.problem);
    } else {
        outcome.result = EntryResult::written;
    }
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
