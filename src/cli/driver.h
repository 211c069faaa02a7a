// The program's run: options, banner, argument checks, load, reports, extraction, and
// the messages for failures.
#pragma once

#include <string>
#include <string_view>

#include "archive/update_archive.h"
#include "cli/options.h"
#include "console/console.h"
#include "fs/copy.h"
#include "fs/stream.h"

namespace kp {

inline constexpr i32 exit_ok = 0;
inline constexpr i32 exit_different = 1;   // --diff: the sides differ
inline constexpr i32 exit_failure = -1;    // missing argument, unreadable file, usage error
inline constexpr i32 exit_malformed = -2;  // not a valid update file

// Stores `directory` as the base for relative lookups: backslashes become '/', and
// one '/' is appended when the text holds any '/' at all (so "C:/" becomes "C://").
void set_base_directory(UpdateArchive& archive, std::string_view directory);

// The whole run on UTF-8 arguments, the program name first: reads the options, sets up
// `console` on standard output (or, with --stdout, on standard error, plain) and runs
// the program. Usage errors go to standard error.
i32 run_command_line(UpdateArchive& archive, ConsoleOutput& console, int argc, char** argv);

// What a run reads, each opened once before anything of it is read, and read through
// that handle by every step after: no step looks up one of these paths again.
struct RunInputs {
    std::string current_directory;  // its name, for the base directory
    FileHandle here = no_file;      // the current directory: the default target
    std::string here_error;         // what the system said when it would not open
    SourceFile file;                // FILE
    InputKind file_kind = InputKind::unopened;
    std::string file_error;
    SourceFile other;  // --diff's OTHER: an update file, or a directory's handle
    InputKind other_kind = InputKind::unopened;
    std::string other_error;
};

// Opens the current directory and then OTHER, and sets the archive's base directory from
// `current_directory`, which OTHER and FILE are tried again under. A usage problem when
// OTHER is a stream, which --diff would have to read twice; empty otherwise.
std::string open_inputs(UpdateArchive& archive, const Options& options, std::string_view current_directory,
                        RunInputs& inputs);

// Opens FILE, after open_inputs; a FIFO waits here for its writer.
void open_file_input(const UpdateArchive& archive, const Options& options, RunInputs& inputs);

void close_inputs(RunInputs& inputs);

// Everything after console set-up, for options that passed their checks, on the inputs
// open_inputs opened.
i32 run_program(UpdateArchive& archive, ConsoleOutput& console, const Options& options, RunInputs& inputs);

}  // namespace kp
