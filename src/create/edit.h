// Changing an update file: entries replaced, appended or deleted, every byte the change
// does not name kept, and the result built beside the file and named only once checked.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "archive/update_archive.h"
#include "create/create.h"
#include "fs/walk.h"
#include "ops/pattern.h"

namespace kp {

// What to change in FILE, and from what: the files under the root at `paths` and the
// names in the lists, or the entries to delete.
struct EditRequest {
    std::string file;                // FILE, a regular file
    std::optional<std::string> out;  // the result's name, FILE left alone; none: FILE's
    std::vector<std::string> paths;  // each replaces the last entry of its name, or is appended
    std::vector<std::string> lists;  // files of PATHs, one a line or with `null` NUL-ended
    bool null = false;
    Exclusions excludes;
    std::vector<std::string> deletes;         // every entry of each name goes
    std::optional<std::string> version_text;  // a new header text, its field's tail zero
    std::optional<std::string> filler;        // an empty entry where the data would begin at the last record
    bool zero_signatures = false;             // a replaced entry whose bytes changed loses its signatures
    bool keep = false;                        // an existing `out` is kept
    bool guard = true;                        // a signal that ends the process removes what is half written
};

// What the change did, entry by entry, for -v and the warnings.
struct EditNote {
    enum class Kind : unsigned char {
        replaced,         // size: the new, before: the old
        appended,         // index: its number
        deleted,          // index: its number
        filler,           // index: its number
        signatures_kept,  // its bytes changed: size the new, before the old
    };
    Kind kind = Kind::replaced;
    std::string name;
    u32 index = 0;
    u64 size = 0;
    u64 before = 0;
};

enum class EditResult : unsigned char {
    written,    // the result has its name
    unchanged,  // the change changes nothing: FILE stays, nothing was written
    refused,    // nothing was written: `problems`, or `load` where FILE does not load
};

struct EditOutcome {
    EditResult result = EditResult::refused;
    std::vector<CreateProblem> problems;
    bool load_failed = false;
    LoadProblem load;
    std::vector<EditNote> notes;
};

// One entry of the result: its record and where its chunk comes from.
struct EditPiece {
    DirectoryRecord record;
    std::optional<u32> kept;  // FILE's entry at that position: its whole chunk, padding and all
    NewEntry file;            // else the file of this name under the root (none for a filler), zero padding
    LeafStatus measured;      // that file, as it was measured
    bool filler = false;
    u64 offset = 0;      // kept: where its chunk lies in FILE
    u64 chunk = 0;       // kept: its chunk's length
    RecordBytes head{};  // its chunk's first record_size bytes, which may have to be the last record
};

// The result, as FILE's bytes and the files give it.
struct EditPlan {
    DirectoryRecord header;
    std::vector<EditPiece> pieces;
    NewLayout layout;
    u64 old_directory_end = 0;  // where FILE's directory ends
    u64 old_gap_end = 0;        // FILE's data_start, where its gap ends
    u64 trailing_from = 0;      // FILE's bytes after its declared end begin here
    u64 length = 0;             // the result's
    bool changes = false;       // anything differs from FILE
};

// Makes the change `request` asks for in FILE from the files under `root` (no_file: it
// would not open, and `root_error` says why, of `root_name`). Where the request guards,
// every signal that ends the process leaves nothing behind.
EditOutcome edit_update_file(const EditRequest& request, FileHandle root, const std::string& root_name,
                             const std::string& root_error);

// Plans the change in FILE, loaded as `archive` from `source`, with the files under the
// walk's root measured: false with every reason in the outcome's problems.
bool plan_edit(const EditRequest& request, const UpdateArchive& archive, SourceFile& source, DirectoryWalk& walk,
               EditPlan& plan, EditOutcome& outcome);

// Writes the result of `plan` to `out`, an empty new file: the records, FILE's kept
// ranges copied inside the kernel, each file's bytes read once; false with why.
bool write_edit(const EditPlan& plan, SourceFile& source, DirectoryWalk& walk, FileHandle out, CreateProblem& problem);

// Loads what was written back and compares it with the plan: the header, every record,
// where each chunk lies, and the length.
bool check_edit(const EditPlan& plan, SourceFile& written, u64 length, CreateProblem& problem);

}  // namespace kp
