// Console text, printed as each thing happens.
#include "report/integrity_output.h"
#include "report/output.h"
#include "report/reports.h"
#include "version.h"

namespace kp {

namespace {

Output& of(void* context) {
    return *static_cast<Output*>(context);
}

void start(Output& output) {
    if (!output.reports) return;
    console_print(*output.console, attr_cyan, "\nQuorvane Kelvo/Pardo update-file utility V%s\n\n", kpupdate_version);
}

void loaded(Output& output) {
    print_mismatches(*output.archive);
}

void failure(Output& output, const std::string& message) {
    console_print(*output.console, attr_red, "ERROR: %s.\n", message.c_str());
}

void archive(Output& output) {
    if (!output.reports) return;
    print_version_summary(*output.archive);
    print_directory_listing(*output.archive);
    print_signature_groups(*output.archive);
}

void integrity(Output& output, const IntegrityReport& report) {
    print_integrity(*output.console, *output.archive, report);
}

void unmatched(void* context, bool pattern, std::string_view text) {
    ConsoleOutput& console = *of(context).console;
    console_print(console, attr_red,
                  pattern ? "ERROR: no file matches %s in archive.\n" : "ERROR: no file named %s in archive.\n",
                  console_text(console, text).c_str());
}

void begin(void* context, u64 bytes, u64 entries) {
    console_flush(*of(context).console);  // what came before is on screen before a long extraction
    output_progress_begin(of(context), bytes, entries);
}

// A failure is on screen before the next entry is written, with the progress line out
// of its way.
void entry(void* context, u32 position, EntryResult result, EntryFailure, std::string_view) {
    Output& output = of(context);
    if (result == EntryResult::failed) {
        progress_clear(output.progress);
        const DirectoryRecord& record = output.archive->entries[position].record;
        console_print(*output.console, attr_red, "ERROR: could not extract file %s.\n",
                      console_text(*output.console, record_text(record.name)).c_str());
        console_flush(*output.console);
    }
    output_progress_entry(output);
}

void end(void* context) {
    progress_clear(of(context).progress);
}

ExtractionEvents extraction(Output& output) {
    return {&output, unmatched, begin, output_progress_copied, entry, end};
}

void finish(Output&) {}

}  // namespace

const Renderer text_renderer = {start, loaded, failure, archive, integrity, extraction, finish};

}  // namespace kp
