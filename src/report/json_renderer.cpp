// One JSON document, gathered over the run and printed at its end.
#include "report/diff_output.h"
#include "report/integrity_output.h"
#include "report/renderer.h"

namespace kp {

namespace {

Output& of(void* context) {
    return *static_cast<Output*>(context);
}

void print(Output& output, const JsonWriter& json) {
    console_print(*output.console, output.console->current_attribute, "%s\n", json.text.c_str());
}

void start(Output&) {}

void loaded(Output&) {}  // the document lists the mismatches itself

void failure(Output& output, const std::string& message, const LoadProblem*) {
    JsonWriter json;
    json_begin_object(json);
    json_key(json, "error");
    json_string(json, message);
    json_end_object(json);
    print(output, json);
}

void archive(Output& output) {
    json_begin_object(output.json);
    json_archive_fields(output.json, *output.archive);
}

void integrity(Output& output, const IntegrityReport& report) {
    json_break(output.json, 2);
    json_key(output.json, "test");
    json_integrity(output.json, *output.archive, report);
}

void selection(Output& output, const SelectionMisses& missing) {
    output.selection_made = true;
    output.missing = missing;
}

void listing(Output& output, const std::vector<u32>& positions) {
    output.listed = true;
    output.selected = positions;
}

void begin(void* context, u64 bytes, u64 entries) {
    of(context).extracted = true;
    output_progress_begin(of(context), bytes, entries);
}

void entry(void* context, u32 position, EntryResult result, const EntryProblem&, std::string_view path) {
    Output& output = of(context);
    switch (result) {
        case EntryResult::written:
            output.written.emplace_back(position, path);
            break;
        case EntryResult::skipped:
            output.skipped.push_back(position);
            break;
        case EntryResult::failed:
            output.failed.push_back(position);
            break;
    }
    output_progress_entry(output);
}

// Entries by position and name under `key`; with `paths`, each also with where it went.
void entry_list(Output& output, const char* key, const std::vector<u32>& positions,
                const std::vector<std::pair<u32, std::string>>* paths = nullptr) {
    JsonWriter& json = output.json;
    json_break(json, 2);
    json_key(json, key);
    json_begin_array(json);
    const std::size_t count = paths != nullptr ? paths->size() : positions.size();
    for (std::size_t i = 0; i < count; ++i) {
        const u32 position = paths != nullptr ? (*paths)[i].first : positions[i];
        json_break(json, 4);
        json_begin_object(json);
        json_key(json, "position");
        json_number(json, position);
        json_text_field(json, "name", record_text(output.archive->entries[position].record.name));
        if (paths != nullptr) json_text_field(json, "path", (*paths)[i].second);
        json_end_object(json);
    }
    json_end_array(json, 2);
}

void text_list(Output& output, const char* key, const std::vector<std::string_view>& values) {
    json_break(output.json, 2);
    json_key(output.json, key);
    json_begin_array(output.json);
    for (const std::string_view value : values) json_string(output.json, value);
    json_end_array(output.json);
}

void end(void* context) {
    progress_clear(of(context).progress);
}

void diff(Output& output, const DiffReport& report) {
    json_break(output.json, 2);
    json_key(output.json, "diff");
    json_diff(output.json, report);
}

ExtractionEvents extraction(Output& output) {
    return {&output, begin, output_progress_copied, entry, end};
}

void finish(Output& output) {
    JsonWriter& json = output.json;
    if (output.listed) {
        json_break(json, 2);
        json_key(json, "selected");
        json_begin_array(json);
        for (const u32 position : output.selected) json_number(json, position);
        json_end_array(json);
    }
    if (output.extracted) {
        entry_list(output, "extracted", {}, &output.written);
        entry_list(output, "failed", output.failed);
        if (output.list_skipped) entry_list(output, "skipped", output.skipped);
    }
    if (output.selection_made) {
        text_list(output, "missing", output.missing.names);
        text_list(output, "unmatched", output.missing.patterns);
        if (output.list_index_misses) {
            text_list(output, "missing_indexes", output.missing.indexes);
            text_list(output, "missing_positions", output.missing.positions);
        }
    }
    json_end_object(json, 0);
    print(output, json);
}

}  // namespace

const Renderer json_renderer = {start,     loaded,  failure, archive,    integrity,
                                selection, listing, diff,    extraction, finish};

}  // namespace kp
