#include "cli/scan_command.h"

#include <deque>

#include "cli/plan.h"
#include "console/console_platform.h"
#include "fs/interruptions.h"
#include "ops/carve.h"
#include "ops/scan.h"
#include "report/scan_output.h"

namespace kp {

namespace {

struct ScanRun {
    SourceFile* source = nullptr;
    ScanText text;
    bool carve = false;
    CarveTarget target;
    StreamCarving stream;
    bool carve_failed = false;
    // A stream's hits carved, or refused, as they were confirmed, until they are told.
    std::vector<std::pair<u64, CarveOutcome>> carved;
    std::deque<FoundUpdate> waiting;  // a stream's hits to carve whose bytes have not come yet
};

void note(ScanRun& run, const CarveOutcome& outcome) {
    const bool skipped = outcome.skipped || (outcome.placed == Placed::kept && run.target.existing == Existing::skip);
    if (outcome.placed != Placed::written && !skipped) run.carve_failed = true;
}

void skip(ScanRun& run, const FoundUpdate& found) {
    CarveOutcome skipped;
    skipped.path = written_path(run.target.directory_text, carved_leaf(found.hit.offset));
    skipped.skipped = true;
    run.carved.push_back({found.hit.offset, skipped});
}

// From a stream, the update files that lie in no other's member, one after another: a
// file is begun when the stream's bytes reach it.
void on_confirmed(void* context, const FoundUpdate& found) {
    auto& run = *static_cast<ScanRun*>(context);
    if (!run.carve || !run.source->is_stream()) return;
    const u64 busy_to = !run.waiting.empty() ? run.waiting.back().end : run.stream.writing ? run.stream.end : 0;
    if (found.inside || found.hit.offset < busy_to) {
        skip(run, found);
    } else {
        run.waiting.push_back(found);
    }
}

void on_passed(void* context, u64 offset, const unsigned char* bytes, std::size_t size) {
    auto& run = *static_cast<ScanRun*>(context);
    for (;;) {
        if (!run.stream.writing && !run.waiting.empty() && run.waiting.front().hit.offset < offset + size) {
            CarveOutcome refused;
            if (!carve_stream_begin(run.stream, run.waiting.front(), refused)) {
                run.carved.push_back({run.waiting.front().hit.offset, refused});
            }
            run.waiting.pop_front();
            continue;
        }
        if (!run.stream.writing) return;
        const u64 at = run.stream.offset;
        if (!carve_stream_bytes(run.stream, offset, bytes, size)) return;
        run.carved.push_back({at, carve_stream_end(run.stream)});
    }
}

void on_found(void* context, const FoundUpdate& found) {
    auto& run = *static_cast<ScanRun*>(context);
    if (!run.carve) {
        scan_text_found(run.text, found, nullptr);
        return;
    }
    CarveOutcome outcome;
    if (!run.source->is_stream()) {
        outcome = carve_from_file(*run.source, found, run.target);
    } else {
        if (run.stream.writing && run.stream.offset == found.hit.offset) {
            run.carved.push_back({found.hit.offset, carve_stream_end(run.stream)});  // cut by the stream's end
        }
        for (auto it = run.carved.begin(); it != run.carved.end(); ++it) {
            if (it->first == found.hit.offset) {
                outcome = std::move(it->second);
                run.carved.erase(it);
                break;
            }
        }
    }
    note(run, outcome);
    scan_text_found(run.text, found, &outcome);
}

}  // namespace

i32 run_scan(ConsoleOutput& console, const Options& options, RunInputs& inputs) {
    console_init(console, platform_stdout_handle(), options.json ? ColourWhen::never : options.colour);
    ScanRun run;
    run.source = &inputs.file;
    run.text.console = &console;
    run.text.json = options.json;
    run.text.verbose = options.verbose;
    run.text.file = options.file;
    run.text.size_known = !inputs.file.is_stream();
    run.text.size = inputs.file.length;
    if (inputs.file_kind == InputKind::unopened) {
        console_to_stderr(console,
                          "kpupdate: " + escape_for_stderr(console, run.text.file) + ": " + inputs.file_error + "\n");
        return exit_failure;
    }
    run.carve = options.carve;
    run.target.directory = options.directory ? inputs.directory : inputs.here;
    run.target.directory_text = options.directory.value_or("");
    run.target.existing = options.existing.value_or(Existing::replace);
    run.stream.target = &run.target;
    if (run.carve && run.target.directory == no_file) {
        const std::string& error = options.directory ? inputs.directory_error : inputs.here_error;
        console_to_stderr(
            console, "kpupdate: " + escape_for_stderr(console, options.directory.value_or(".")) + ": " + error + "\n");
        return exit_failure;
    }
    if (run.carve) guard_interruptions();
    const ScanSink sink{&run, on_confirmed, on_found, on_passed};
    const ScanOutcome outcome = scan_source(inputs.file, scan_rules(options.weak), sink);
    if (run.carve) unguard_interruptions();
    scan_text_end(run.text, outcome.size, outcome.read_failed ? inputs.file.read_failure : std::string());
    if (outcome.read_failed || run.carve_failed) return exit_failure;
    return outcome.hits != 0 ? exit_ok : exit_different;
}

}  // namespace kp
