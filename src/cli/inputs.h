// What a run reads, each path resolved once, right after the options: the current
// directory, --diff's OTHER and FILE, opened before anything of them is read and read
// through those handles by every step after.
#pragma once

#include <string>
#include <string_view>

#include "archive/update_archive.h"
#include "cli/options.h"
#include "fs/stream.h"

namespace kp {

struct RunInputs {
    std::string current_directory;   // its name
    std::string base_directory;      // the same, as a FILE that does not open is tried again under
    FileHandle here = no_file;       // the current directory: the default target
    std::string here_error;          // what the system said when it would not open
    FileHandle directory = no_file;  // -C's: where extraction writes and --create reads
    std::string directory_error;     // what the system said when it would not open
    SourceFile file;                 // FILE
    InputKind file_kind = InputKind::unopened;
    std::string file_error;
    SourceFile other;  // --diff's OTHER: an update file, or a directory's handle
    InputKind other_kind = InputKind::unopened;
    std::string other_error;
};

// `directory` as the base for relative lookups: backslashes become '/', and one '/' is
// appended when the text holds any '/' at all (so "C:/" becomes "C://").
std::string base_directory_of(std::string_view directory);

// Opens -C's directory, the current directory and then OTHER, and takes the base
// directory from `current_directory`, which OTHER and FILE are tried again under. A
// usage problem when -C names no directory, or when OTHER is a stream, which --diff
// would have to read twice; none otherwise.
OptionsProblem open_inputs(const Options& options, std::string_view current_directory, RunInputs& inputs);

// Opens FILE, after open_inputs; a FIFO waits here for its writer.
void open_file_input(const Options& options, RunInputs& inputs);

void close_inputs(RunInputs& inputs);

// Loads the update file open in `source` (of `kind`), or says why it did not open.
i32 load_source(UpdateArchive& archive, InputKind kind, SourceFile& source, const std::string& error,
                LoadProblem& problem);

// Loads FILE, after open_file_input: with --offset the update file that begins there,
// whose bytes end where its header says, whatever follows it.
i32 load_file(UpdateArchive& archive, const Options& options, RunInputs& inputs, LoadProblem& problem);

}  // namespace kp
