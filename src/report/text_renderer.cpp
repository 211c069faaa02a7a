// Console text, printed as each thing happens.
#include "report/diff_output.h"
#include "report/integrity_output.h"
#include "report/reasons.h"
#include "report/renderer.h"
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

void failure(Output& output, const std::string& message, const LoadProblem* problem) {
    console_print(*output.console, attr_red, "ERROR: %s.\n", message.c_str());
    const std::string reason = problem != nullptr ? load_reason(*problem) : std::string();
    if (!reason.empty()) output_to_stderr(output, shell_quoted(output.file) + ": " + reason);
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

void selection(Output& output, const SelectionMisses& missing) {
    ConsoleOutput& console = *output.console;
    const std::pair<const char*, const std::vector<std::string_view>*> lines[] = {
        {"ERROR: no file named %s in archive.\n", &missing.names},
        {"ERROR: no file matches %s in archive.\n", &missing.patterns},
        {"ERROR: no file with index %s in archive.\n", &missing.indexes},
        {"ERROR: no file at position %s in archive.\n", &missing.positions},
    };
    for (const auto& [format, texts] : lines) {
        for (const std::string_view text : *texts) {
            console_print(console, attr_red, format, console_text(console, text).c_str());
        }
    }
}

void listing(Output& output, const std::vector<u32>& positions) {
    print_listing_rows(*output.archive, positions);
}

void begin(void* context, u64 bytes, u64 entries) {
    console_flush(*of(context).console);  // what came before is on screen before a long extraction
    output_progress_begin(of(context), bytes, entries);
}

// A failure, and why, is on screen before the next entry is written, with the progress
// line out of its way.
void entry(void* context, u32 position, EntryResult result, const EntryProblem& problem, std::string_view path) {
    Output& output = of(context);
    ConsoleOutput& console = *output.console;
    if (result == EntryResult::failed) {
        progress_clear(output.progress);
        const std::string name = console_text(console, record_text(output.archive->entries[position].record.name));
        console_print(console, attr_red, "ERROR: could not extract file %s.\n", name.c_str());
        output_to_stderr(output, shell_quoted(name) + ": " + entry_reason(problem, output.trim));
    } else if (result == EntryResult::written && output.verbose) {
        // The path as written; on standard output, which has none, the entry's name.
        progress_clear(output.progress);
        const std::string_view shown = path.empty() ? record_text(output.archive->entries[position].record.name) : path;
        console_print(console, attr_grey, "%s\n", console_text(console, shown).c_str());
        console_flush(console);
    }
    output_progress_entry(output);
}

void end(void* context) {
    progress_clear(of(context).progress);
}

void diff(Output& output, const DiffReport& report) {
    print_diff(*output.console, report);
}

ExtractionEvents extraction(Output& output) {
    return {&output, begin, output_progress_copied, entry, end, output.verbose};
}

void finish(Output&) {}

}  // namespace

const Renderer text_renderer = {start,     loaded,  failure, archive,    integrity,
                                selection, listing, diff,    extraction, finish};

}  // namespace kp
