// What a run shows, in one of two forms: console text, printed as each fact arrives, or
// one JSON document, gathered over the run and written at its end. The driver picks a
// renderer once and tells it the facts; each renderer keeps a state of its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/update_archive.h"
#include "console/console.h"
#include "ops/compare.h"
#include "ops/digests.h"
#include "ops/entry_problem.h"
#include "ops/extraction.h"
#include "ops/integrity.h"
#include "ops/selection.h"
#include "report/progress.h"

namespace kp {

// What either renderer is told once, before the first fact.
struct RenderSettings {
    ConsoleOutput* console = nullptr;
    const UpdateArchive* archive = nullptr;
    const UnseenBytes* unseen = nullptr;  // JSON: the gap and the paddings, where gathered
    const EntrySums* sums = nullptr;      // JSON: the entries' digests, where gathered
    std::string file;                     // the update file as given, for the reasons on standard error
    bool reports = true;                  // text: the banner and the three reports
    bool verbose = false;                 // text: a line for each file written
    bool padded = false;                  // each file's whole chunk is written, not its own bytes
    bool null_rows = false;               // text: --list's rows end in a NUL, for names that hold a line feed
    bool rows_only = false;               // text: standard output carries only rows or sums; the warnings go to stderr
    ProgressWhen progress_when = ProgressWhen::automatic;
    u32 strip = 0;                   // --strip-components, for what it skipped
    bool list_skipped = false;       // JSON: a "skipped" list beside the others
    bool list_index_misses = false;  // JSON: "missing_indexes" and "missing_positions"
};

// The text renderer's state: it prints at once, and keeps only the progress line.
struct TextState {
    RenderSettings settings;
    Progress progress;
    u64 stripped = 0;  // entries --strip-components left nothing of, told of at the end
};

// The JSON renderer's state: the facts of the run, until the document is written.
struct JsonState {
    RenderSettings settings;
    Progress progress;
    bool archive_shown = false;
    std::optional<std::pair<u64, u64>> cut;  // the file's length, and where its header ends it
    std::optional<IntegrityReport> integrity;
    const DiffReport* diff = nullptr;                   // lives until finish
    const std::vector<EntryDigest>* digests = nullptr;  // the same
    std::optional<std::vector<u32>> listed;             // --list: the positions
    std::optional<SelectionMisses> missing;             // its texts live until finish
    bool extracted = false;
    std::vector<std::pair<u32, std::string>> written;  // entries written, with their paths
    std::vector<std::pair<u32, std::string>> failed;   // with why
    std::vector<std::pair<u32, std::string>> skipped;  // with why, where that is not the plain --skip-old-files
    std::vector<std::string> warnings;
    std::string read_failure;  // what the system said when reading the stream failed
};

// The facts, in the order they come; `state` is the renderer's own.
struct Renderer {
    void* state = nullptr;
    // Before anything else: what the arguments deserve though they are read as always.
    void (*warnings)(void* state, const std::vector<std::string>& warnings) = nullptr;
    // Before anything is read: the banner.
    void (*start)(void* state) = nullptr;
    // After the load, whatever its result: the second-signature warnings it found.
    void (*loaded)(void* state) = nullptr;
    // A failure that ends the run: "ERROR: MESSAGE." and why (of `file`), or a document
    // holding only the message. `problem` may be null.
    void (*failure)(void* state, const std::string& message, const LoadProblem* problem,
                    std::string_view file) = nullptr;
    // A loaded archive: the three reports, or the document's fields.
    void (*archive)(void* state) = nullptr;
    // The update file ends before its header says it does.
    void (*cut)(void* state, u64 length, u64 declared) = nullptr;
    // The findings of --test.
    void (*integrity)(void* state, const IntegrityReport& report) = nullptr;
    // What the selectors asked for and found nothing for; `missing` lives until finish.
    void (*selection)(void* state, const SelectionMisses& missing) = nullptr;
    // --list: the selected entries, in the listing's rows.
    void (*listing)(void* state, const std::vector<u32>& positions) = nullptr;
    // What --diff found; `report` lives until finish.
    void (*diff)(void* state, const DiffReport& report) = nullptr;
    // What --sha256 found; `digests` live until finish.
    void (*digests)(void* state, const std::vector<EntryDigest>& digests) = nullptr;
    // Events bound to the state, for extraction to tell as it goes.
    ExtractionEvents (*extraction)(void* state) = nullptr;
    // Reading the update file as a stream failed, with what the system said.
    void (*unreadable)(void* state, const std::string& reason) = nullptr;
    // The end of the run: the document, if there is one.
    void (*finish)(void* state) = nullptr;
};

Renderer text_renderer(TextState& state);
Renderer json_renderer(JsonState& state);

// The document `kpupdate --json FILE` prints for `archive`, loaded from `source` (which a
// stream is read on from, to the archive's end), with its closing line feed.
std::string listing_document(const UpdateArchive& archive, SourceFile& source, const std::string& file);

// A line on standard error, "kpupdate: TEXT", after whatever was printed before it and
// with the progress line out of its way; where standard error is a terminal, with the
// controls of TEXT (names from an update file among them) escaped.
void render_to_stderr(const RenderSettings& settings, Progress& progress, const std::string& text);

}  // namespace kp
