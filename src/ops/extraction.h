// Writing the chunks of the entries chosen: to files under a directory, or to standard
// output, copied from the update file in bounded pieces.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/update_archive.h"
#include "fs/copy.h"
#include "fs/files.h"
#include "fs/new_files.h"
#include "fs/walk.h"
#include "ops/entry_problem.h"
#include "ops/selection.h"

namespace kp {

// Extraction tells what it does as it goes, so that text can appear at once and a
// document can gather it; any of the calls may be null.
struct ExtractionEvents {
    void* context = nullptr;
    // The work ahead: the bytes and the entries to write.
    void (*begin)(void* context, u64 bytes, u64 entries) = nullptr;
    // More bytes written, a piece at a time.
    void (*copied)(void* context, u64 bytes) = nullptr;
    // The entry at `position` is done: where it was written (empty on standard output),
    // or why not.
    void (*entry)(void* context, u32 position, EntryResult result, const EntryProblem& problem,
                  std::string_view path) = nullptr;
    void (*end)(void* context) = nullptr;
    bool paths = true;  // `entry` is told the paths written; without, they are not made
};

// How chunks are written.
struct ExtractTarget {
    std::string directory;  // where names are written under, as given; empty: the current directory
    // That directory, opened once at the start of the run, or what the system said when
    // it would not open.
    FileHandle root = no_file;
    std::string root_error;
    bool padded = false;  // each file's whole 512-byte chunk instead of its own bytes
    u32 strip = 0;        // the leading parts of each name that are not written (--strip-components)
    // Create the directories a name needs under `directory`, and refuse a part that is a
    // link; without it a name is written only into directories that exist, through links.
    bool make_directories = false;
    Existing existing = Existing::replace;  // what to do where a file is in the way
    bool to_stdout = false;                 // the bytes to standard output, one entry after another
    // The process is the program's own: a signal that ends it first removes the file half
    // written. A library's caller keeps its signals, and may extract from several threads.
    bool guard = true;
};

// An extraction under way: the update file, open already for every entry, and the
// target directory. Every name is reached from that directory's handle one part at a
// time, never by its path, so nothing that happens inside the target meanwhile can lead
// a file outside it.
struct Extraction {
    ExtractTarget target;
    CopyProgress progress;         // told of the bytes as they are written
    SourceFile* source = nullptr;  // the update file
    bool source_open = false;
    bool root_tried = false;
    DirectoryWalk walk;  // from the target, the directories entries went into
};

// Reads the entries from `source`, open already (a stream's entries must come in the
// order they arrive). Entries written from an archive that is not loaded fail.
void extraction_begin(Extraction& extraction, const UpdateArchive& archive, const ExtractTarget& target,
                      SourceFile& source);
void extraction_end(Extraction& extraction);

struct EntryOutcome {
    EntryResult result = EntryResult::failed;
    EntryProblem problem;
};

// Writes the entry to target.directory + its name, atomically: through a new file that
// takes the name only once complete, replacing a file there or leaving it as
// target.existing says (skipped: left, as --skip-old-files asks). Unsafe names and
// ranges outside the update file are refused before anything is created.
EntryOutcome write_entry_file(Extraction& extraction, const EntryRecord& entry);

// Writes the entry's bytes to standard output.
EntryOutcome write_entry_to_output(Extraction& extraction, const EntryRecord& entry);

// The path an entry's file was written to, as the user would name it: the target
// directory as given and the entry's name, or the name alone under the current one.
std::string written_path(const std::string& directory, std::string_view name);

struct ExtractionSummary {
    u64 written = 0;
    u64 skipped = 0;
    u64 failed = 0;
};

// Writes the entries `selected` picks from `source` as `target` says, in directory
// order, telling `events` of each as it is done.
ExtractionSummary extract_entries(const UpdateArchive& archive, const SelectedEntries& selected,
                                  const ExtractTarget& target, const ExtractionEvents& events, SourceFile& source);

}  // namespace kp
