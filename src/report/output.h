// What a run shows, in one of two forms: console text as each thing happens, or one
// JSON document gathered over the run and printed at its end. The driver picks a
// renderer once and tells it what happened, in order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "archive/outcomes.h"
#include "archive/update_archive.h"
#include "console/console.h"
#include "report/json.h"
#include "report/progress.h"

namespace kp {

// The state a renderer keeps for one run.
struct Output {
    ConsoleOutput* console = nullptr;
    const UpdateArchive* archive = nullptr;
    bool reports = true;  // text: the banner and the three reports
    ProgressWhen progress_when = ProgressWhen::automatic;
    bool list_skipped = false;  // JSON: a "skipped" list beside the others
    Progress progress;
    JsonWriter json;
    std::vector<std::pair<u32, std::string>> written;  // JSON: entries written, with their paths
    std::vector<u32> failed;
    std::vector<u32> skipped;
    std::vector<std::string> missing;    // names no entry has
    std::vector<std::string> unmatched;  // patterns no entry matches
};

struct Renderer {
    // Before anything is read: the banner.
    void (*start)(Output& output);
    // After the load, whatever its result: the second-signature warnings it found.
    void (*loaded)(Output& output);
    // A failure that ends the run: "ERROR: MESSAGE." or a document holding only it.
    void (*failure)(Output& output, const std::string& message);
    // A loaded archive: the three reports, or the document's fields.
    void (*archive)(Output& output);
    // The findings of --test.
    void (*integrity)(Output& output, const IntegrityReport& report);
    // Events bound to `output`, for extraction to tell as it goes.
    ExtractionEvents (*extraction)(Output& output);
    // The end of the run: the document, if there is one.
    void (*finish)(Output& output);
};

extern const Renderer text_renderer;
extern const Renderer json_renderer;

// The progress line, the same in both forms: drawn on standard error from `begin`,
// counted on, and taken off the screen at `end` or before a message.
void output_progress_begin(Output& output, u64 bytes, u64 entries);
void output_progress_copied(void* output, u64 bytes);
void output_progress_entry(Output& output);

}  // namespace kp
