// One JSON document: the run's facts gathered as they come, and written at its end, its
// keys in the one order `finish` gives them.
#include "report/diff_output.h"
#include "report/integrity_output.h"
#include "report/json.h"
#include "report/reasons.h"
#include "report/renderer.h"

namespace kp {

namespace {

JsonState& of(void* state) {
    return *static_cast<JsonState*>(state);
}

void print(const JsonState& state, const JsonWriter& json) {
    ConsoleOutput& console = *state.settings.console;
    console_print(console, console.current_attribute, "%s\n", json.text.c_str());
}

void warnings(void* state, const std::vector<std::string>& warnings) {
    of(state).warnings = warnings;
}

void start(void*) {}

void loaded(void*) {}  // the document lists the mismatches itself

void failure(void* state, const std::string& message, const LoadProblem* problem, std::string_view file) {
    const JsonState& facts = of(state);
    JsonWriter json;
    json.text =
        json_error_document(message, problem != nullptr ? load_reason(*problem, file) : std::string(), facts.warnings);
    print(facts, json);
}

void archive(void* state) {
    of(state).archive_shown = true;
}

void cut(void* state, u64 length, u64 declared) {
    of(state).cut = {length, declared};
}

void integrity(void* state, const IntegrityReport& report) {
    of(state).integrity = report;
}

void selection(void* state, const SelectionMisses& missing) {
    of(state).missing = missing;
}

void listing(void* state, const std::vector<u32>& positions) {
    of(state).listed = positions;
}

void diff(void* state, const DiffReport& report) {
    of(state).diff = &report;
}

void digests(void* state, const std::vector<EntryDigest>& digests) {
    of(state).digests = &digests;
}

void begin(void* state, u64 bytes, u64 entries) {
    JsonState& json = of(state);
    json.extracted = true;
    progress_begin(json.progress, json.settings.progress_when, bytes, entries);
}

void copied(void* state, u64 bytes) {
    progress_add_bytes(of(state).progress, bytes);
}

void entry(void* state, u32 position, EntryResult result, const EntryProblem& problem, std::string_view path) {
    JsonState& json = of(state);
    switch (result) {
        case EntryResult::written:
            json.written.emplace_back(position, path);
            break;
        case EntryResult::skipped:
            json.skipped.emplace_back(position, problem.failure == EntryFailure::stripped
                                                    ? entry_reason(problem, json.settings.padded)
                                                    : std::string());
            break;
        case EntryResult::failed:
            json.failed.emplace_back(position, entry_reason(problem, json.settings.padded));
            break;
    }
    progress_add_file(json.progress);
}

void end(void* state) {
    progress_clear(of(state).progress);
}

ExtractionEvents extraction(void* state) {
    return {.context = state, .begin = begin, .copied = copied, .entry = entry, .end = end, .paths = true};
}

void unreadable(void* state, const std::string& reason) {
    of(state).read_failure = reason;
}

// Entries by position and name under `key`; with `texts`, each also with its `text_key`
// (where it went, or why it was not written).
void entry_list(JsonWriter& json, const UpdateArchive& archive, const char* key, const std::vector<u32>& positions,
                const std::vector<std::pair<u32, std::string>>* texts = nullptr, const char* text_key = nullptr) {
    json_break(json, 2);
    json_key(json, key);
    json_begin_array(json);
    const std::size_t count = texts != nullptr ? texts->size() : positions.size();
    for (std::size_t i = 0; i < count; ++i) {
        const u32 position = texts != nullptr ? (*texts)[i].first : positions[i];
        json_break(json, 4);
        json_begin_object(json);
        json_key(json, "position");
        json_number(json, position);
        json_text_field(json, "name", record_text(archive.entries[position].record.name));
        // A skipped entry says why only where it was not the plain --skip-old-files.
        if (texts != nullptr && (!(*texts)[i].second.empty() || std::string_view(text_key) != "reason")) {
            json_text_field(json, text_key, (*texts)[i].second);
        }
        json_end_object(json);
    }
    json_end_array(json, 2);
}

void text_list(JsonWriter& json, const char* key, const std::vector<std::string_view>& values) {
    json_break(json, 2);
    json_key(json, key);
    json_begin_array(json);
    for (const std::string_view value : values) json_string(json, value);
    json_end_array(json);
}

// The document, in its one order: the archive, the test, the comparison, the listing,
// what extraction did, what the selectors missed.
void finish(void* state) {
    const JsonState& facts = of(state);
    const UpdateArchive& archive = *facts.settings.archive;
    JsonWriter json;
    json_begin_object(json);
    if (facts.archive_shown)
        json_archive_fields(json, facts.settings.file, archive, facts.settings.unseen, facts.settings.sums);
    if (facts.cut) {
        json_break(json, 2);
        json_key(json, "cut");
        json_begin_object(json);
        json_key(json, "file_length");
        json_number(json, facts.cut->first);
        json_key(json, "declared_end");
        json_number(json, facts.cut->second);
        json_key(json, "short_by");
        json_number(json, facts.cut->second - facts.cut->first);
        json_end_object(json);
    }
    if (facts.integrity) {
        json_break(json, 2);
        json_key(json, "test");
        json_integrity(json, archive, *facts.integrity);
    }
    if (facts.diff != nullptr) {
        json_break(json, 2);
        json_key(json, "diff");
        json_diff(json, *facts.diff);
    }
    if (facts.digests != nullptr) {
        json_break(json, 2);
        json_key(json, "sha256");
        json_begin_array(json);
        for (const EntryDigest& digest : *facts.digests) {
            json_break(json, 4);
            json_begin_object(json);
            json_key(json, "position");
            json_number(json, digest.position);
            json_text_field(json, "name", digest.name);
            if (digest.done) {
                json_key(json, "sha256");
                json_string(json, hex_of(digest.digest));
            } else {
                json_key(json, "reason");
                json_string(json, entry_reason(digest.problem, false));
            }
            json_end_object(json);
        }
        json_end_array(json, 2);
    }
    if (facts.listed) {
        json_break(json, 2);
        json_key(json, "selected");
        json_begin_array(json);
        for (const u32 position : *facts.listed) json_number(json, position);
        json_end_array(json);
    }
    if (facts.extracted) {
        entry_list(json, archive, "extracted", {}, &facts.written, "path");
        entry_list(json, archive, "failed", {}, &facts.failed, "reason");
        if (facts.settings.list_skipped) entry_list(json, archive, "skipped", {}, &facts.skipped, "reason");
    }
    if (facts.missing) {
        std::vector<std::string_view> names = facts.missing->names;
        names.insert(names.end(), facts.missing->members.begin(), facts.missing->members.end());
        text_list(json, "missing", names);
        text_list(json, "unmatched", facts.missing->patterns);
        if (facts.settings.list_index_misses) {
            text_list(json, "missing_indexes", facts.missing->indexes);
            text_list(json, "missing_positions", facts.missing->positions);
        }
        bool hinted = false;  // a pattern that '*' stopping at '/' kept from matching
        for (std::size_t i = 0; i < facts.missing->patterns.size(); ++i) {
            if (facts.missing->deeper_matches[i] == 0) continue;
            if (!hinted) {
                json_break(json, 2);
                json_key(json, "pattern_hints");
                json_begin_array(json);
                hinted = true;
            }
            json_begin_object(json);
            json_text_field(json, "pattern", facts.missing->patterns[i]);
            json_text_field(json, "matching", "**/" + std::string(facts.missing->patterns[i]));
            json_key(json, "matches");
            json_number(json, facts.missing->deeper_matches[i]);
            json_end_object(json);
        }
        if (hinted) json_end_array(json);
    }
    if (!facts.warnings.empty()) {
        const std::vector<std::string_view> warnings(facts.warnings.begin(), facts.warnings.end());
        text_list(json, "warnings", warnings);
    }
    if (!facts.read_failure.empty()) {
        json_break(json, 2);
        json_key(json, "read_failure");
        json_string(json, facts.read_failure);
    }
    json_end_object(json, 0);
    print(facts, json);
}

}  // namespace

Renderer json_renderer(JsonState& state) {
    return {.state = &state,
            .warnings = warnings,
            .start = start,
            .loaded = loaded,
            .failure = failure,
            .archive = archive,
            .cut = cut,
            .integrity = integrity,
            .selection = selection,
            .listing = listing,
            .diff = diff,
            .digests = digests,
            .extraction = extraction,
            .unreadable = unreadable,
            .finish = finish};
}

std::string listing_document(const UpdateArchive& archive, SourceFile& source, const std::string& file) {
    std::string text;
    ConsoleOutput console;
    ConsoleSink sink;
    sink.write = [](void* into, const char* data, std::size_t size) {
        static_cast<std::string*>(into)->append(data, size);
        return true;
    };
    sink.set_attribute = [](void*, std::uint16_t) {};
    sink.context = &text;
    console_setup(console, nullptr, {}, ColourMode::off, sink);
    UnseenBytes unseen;
    EntrySums sums;
    JsonState state;
    state.settings.console = &console;
    state.settings.archive = &archive;
    state.settings.unseen = &unseen;
    state.settings.sums = &sums;
    state.settings.file = file;
    const Renderer render = json_renderer(state);
    render.start(render.state);
    render.loaded(render.state);
    gather_unseen_bytes(archive, source, unseen);
    gather_entry_sums(archive, source, sums);
    render.archive(render.state);
    finish_source(source, archive_end(archive));
    entry_sums_done(source, sums);
    unseen_bytes_done(source, unseen);
    if (length_known(source) && source.length < archive_end(archive))
        render.cut(render.state, source.length, archive_end(archive));
    if (source.stream && !source.read_failure.empty()) render.unreadable(render.state, source.read_failure);
    render.finish(render.state);
    console_flush(console);
    return text;
}

}  // namespace kp
