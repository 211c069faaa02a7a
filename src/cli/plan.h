// What a run does, decided once from the options and the inputs before anything of them
// is read: exactly one mode, and for reading the steps; and the facts the plan holds
// back until they can be shown.
#pragma once

#include <string>
#include <vector>

#include "cli/inputs.h"
#include "cli/options.h"
#include "create/create_file.h"
#include "create/edit.h"
#include "ops/extraction.h"
#include "ops/selection.h"
#include "report/renderer.h"

namespace kp {

inline constexpr i32 exit_ok = 0;
inline constexpr i32 exit_different = 1;   // --diff: the sides differ
inline constexpr i32 exit_failure = -1;    // missing argument, unreadable file, usage error
inline constexpr i32 exit_malformed = -2;  // not a valid update file

enum class Work : unsigned char {
    reports,  // the reports alone
    list,     // --list: the rows of the entries selected
    extract,  // write the entries selected
    diff,     // --diff: compare with OTHER
    digests,  // --sha256: the digests of the entries selected
};

enum class Mode : unsigned char {
    help,     // the usage text
    version,  // the version line
    usage,    // the arguments make no sense: why, on standard error or as a document
    refusal,  // they do, but the run cannot start: a -T list unread, FILE a terminal
    read,     // FILE is read: the reports and the work
    create,   // NEW is written
    edit,     // FILE is changed, or written changed as --out's NEW
    scan,     // --scan, --carve: FILE is searched for update files
};

// Why a run ends before it reads anything: `lines` on standard error, or with `json` a
// document of `message`, `reason` and `warnings`.
struct Ending {
    bool json = false;
    std::string message;
    std::string reason;
    std::vector<std::string> lines;
    std::vector<std::string> warnings;
};

struct Plan {
    Mode mode = Mode::read;
    Ending ending;  // usage, refusal
    CreateRequest create;
    EditRequest edit;
    // Reading:
    Work work = Work::reports;
    bool test_first = false;  // --test of a file, measured at once: shown before the work
    bool test_last = false;   // --test of a stream, whose length is known only at its end
    bool hold = false;        // what extraction did is shown after that last test
    bool drain = false;       // a stream is read on to the archive's declared end, for its writer
    Selection selection;      // the entries the work is on; what the misses refer to, to the end
    ExtractTarget target;     // where extraction writes
};

// The plan for options that parsed as `problem` says, and the inputs that were opened.
Plan plan_of(const Options& options, const OptionsProblem& problem, const RunInputs& inputs);

// What the renderer shows of the run, decided with the plan.
RenderSettings settings_of(const UpdateArchive& archive, ConsoleOutput& console, const Options& options);

// What the run found, for its one exit status.
struct Findings {
    bool damaged = false;     // --test or --diff found bytes missing
    bool failed = false;      // a selector found nothing, or an entry was not written
    bool different = false;   // --diff: the two sides differ
    bool unreadable = false;  // reading the update file as a stream failed
};

// Damage over failure over a difference over a stream that could not be read on: 254,
// 255, 1, 254, else 0.
i32 status_of(const Findings& findings);

// Extraction's entries held back: `begin`, `copied` and `end` reach `live` at once (they
// draw the progress line), each entry is held until replay.
struct HeldEntries {
    ExtractionEvents live;
    struct Entry {
        u32 position = 0;
        EntryResult result = EntryResult::failed;
        EntryProblem problem;
        std::string path;
    };
    std::vector<Entry> entries;
};

// The events that hold entries in `held`.
ExtractionEvents hold_entries(HeldEntries& held);

// Tells `live` of the held entries, in order, and of the end.
void replay(const HeldEntries& held);

}  // namespace kp
