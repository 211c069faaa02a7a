// The program's run: options, banner, argument checks, load, reports, extraction, and
// the messages for failures.
#pragma once

#include <string>
#include <string_view>

#include "archive/update_archive.h"
#include "cli/options.h"
#include "console/console.h"
#include "extract/copy.h"

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

// Everything after console set-up, for options that passed their checks. `stream`: the
// update file as a stream, open already and read once from its start; null: FILE is
// read by its path.
i32 run_program(UpdateArchive& archive, ConsoleOutput& console, std::string_view current_directory,
                const Options& options, SourceFile* stream = nullptr);

}  // namespace kp
