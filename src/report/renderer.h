// What a run shows, in one of two forms: console text as each thing happens, or one
// JSON document gathered over the run and printed at its end. The driver picks a
// renderer once and tells it what happened, in order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "archive/update_archive.h"
#include "console/console.h"
#include "ops/results.h"
#include "report/json.h"
#include "report/progress.h"

namespace kp {

// The state a renderer keeps for one run.
struct Output {
    ConsoleOutput* console = nullptr;
    const UpdateArchive* archive = nullptr;
    std::string file;      // the update file as given, for the reasons on standard error
    bool reports = true;   // text: the banner and the three reports
    bool verbose = false;  // text: a line for each file written
    bool trim = false;     // each file's own bytes are written, not its chunk
    ProgressWhen progress_when = ProgressWhen::automatic;
    bool list_skipped = false;       // JSON: a "skipped" list beside the others
    bool list_index_misses = false;  // JSON: "missing_indexes" and "missing_positions"
    Progress progress;
    JsonWriter json;
    // JSON: what the run found, written at its end.
    bool listed = false;
    std::vector<u32> selected;
    bool selection_made = false;
    SelectionMisses missing;
    bool extracted = false;
    std::vector<std::pair<u32, std::string>> written;  // entries written, with their paths
    std::vector<u32> failed;
    std::vector<u32> skipped;
};

struct Renderer {
    // Before anything is read: the banner.
    void (*start)(Output& output);
    // After the load, whatever its result: the second-signature warnings it found.
    void (*loaded)(Output& output);
    // A failure that ends the run: "ERROR: MESSAGE." and why, or a document holding
    // only the message. `problem` may be null.
    void (*failure)(Output& output, const std::string& message, const LoadProblem* problem);
    // A loaded archive: the three reports, or the document's fields.
    void (*archive)(Output& output);
    // The findings of --test.
    void (*integrity)(Output& output, const IntegrityReport& report);
    // What the selectors asked for and found nothing for; `missing` lives until finish.
    void (*selection)(Output& output, const SelectionMisses& missing);
    // --list: the selected entries, in the listing's rows.
    void (*listing)(Output& output, const std::vector<u32>& positions);
    // What --diff found.
    void (*diff)(Output& output, const DiffReport& report);
    // Events bound to `output`, for extraction to tell as it goes.
    ExtractionEvents (*extraction)(Output& output);
    // The end of the run: the document, if there is one.
    void (*finish)(Output& output);
};

extern const Renderer text_renderer;
extern const Renderer json_renderer;

// Extraction's events held back, for a run that can show what extraction did only after
// something it learns later: `begin`, `copied` and `end` go to `live` at once (they draw
// the progress line), each entry is kept until tell_kept.
struct KeptEvents {
    ExtractionEvents live;
    struct Entry {
        u32 position = 0;
        EntryResult result = EntryResult::failed;
        EntryProblem problem;
        std::string path;
    };
    std::vector<Entry> entries;
};

ExtractionEvents keeping_events(KeptEvents& kept);

// Tells `live` of the kept entries, in order, and of the end.
void tell_kept(const KeptEvents& kept);

// A line on standard error, "kpupdate: TEXT", after whatever was printed before it.
void output_to_stderr(Output& output, const std::string& text);

// The progress line, the same in both forms: drawn on standard error from `begin`,
// counted on, and taken off the screen at `end` or before a message.
void output_progress_begin(Output& output, u64 bytes, u64 entries);
void output_progress_copied(void* output, u64 bytes);
void output_progress_entry(Output& output);

}  // namespace kp
