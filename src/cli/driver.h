// The program's run: options, inputs, a plan, then the plan's steps, each once, and the
// one exit status their findings make.
#pragma once

#include "archive/update_archive.h"
#include "cli/inputs.h"
#include "cli/options.h"
#include "cli/plan.h"
#include "console/console.h"

namespace kp {

// The whole run on UTF-8 arguments, the program name first: reads the options, sets up
// `console` on standard output (or, with --stdout, on standard error, plain) and runs
// the program. Usage errors go to standard error.
i32 run_command_line(UpdateArchive& archive, ConsoleOutput& console, int argc, char** argv);

// Everything after console set-up, for options that passed their checks, on the inputs
// open_inputs and open_file_input opened.
i32 run_program(UpdateArchive& archive, ConsoleOutput& console, const Options& options, RunInputs& inputs);

}  // namespace kp
