#include "report/renderer.h"

namespace kp {

void output_to_stderr(Output& output, const std::string& text) {
    progress_clear(output.progress);
    console_to_stderr(*output.console, "kpupdate: " + text + "\n");
}

ExtractionEvents keeping_events(KeptEvents& kept) {
    ExtractionEvents events = kept.live;
    events.context = &kept;
    events.begin = [](void* context, u64 bytes, u64 entries) {
        const ExtractionEvents& live = static_cast<KeptEvents*>(context)->live;
        if (live.begin != nullptr) live.begin(live.context, bytes, entries);
    };
    events.copied = [](void* context, u64 bytes) {
        const ExtractionEvents& live = static_cast<KeptEvents*>(context)->live;
        if (live.copied != nullptr) live.copied(live.context, bytes);
    };
    events.entry = [](void* context, u32 position, EntryResult result, const EntryProblem& problem,
                      std::string_view path) {
        static_cast<KeptEvents*>(context)->entries.push_back({position, result, problem, std::string(path)});
    };
    events.end = [](void* context) {
        const ExtractionEvents& live = static_cast<KeptEvents*>(context)->live;
        if (live.end != nullptr) live.end(live.context);
    };
    return events;
}

void tell_kept(const KeptEvents& kept) {
    const ExtractionEvents& live = kept.live;
    for (const KeptEvents::Entry& entry : kept.entries) {
        if (live.entry != nullptr) live.entry(live.context, entry.position, entry.result, entry.problem, entry.path);
    }
    if (live.end != nullptr) live.end(live.context);
}

void output_progress_begin(Output& output, u64 bytes, u64 entries) {
    progress_begin(output.progress, output.progress_when, bytes, entries);
}

void output_progress_copied(void* output, u64 bytes) {
    progress_add_bytes(static_cast<Output*>(output)->progress, bytes);
}

void output_progress_entry(Output& output) {
    progress_add_file(output.progress);
}

}  // namespace kp
