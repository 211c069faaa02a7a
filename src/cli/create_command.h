// --create: a new update file from the files of a tree, or from a manifest.
#pragma once

#include "cli/options.h"
#include "console/console.h"

namespace kp {

// What makes no sense in options that ask for --create, or that give its own options
// without it.
OptionsProblem check_create_options(const Options& options);

// Writes the update file the options name from what they name, after every check: all
// that stops it is said on standard error, and then nothing is written. The status:
// 0, or 255.
i32 run_create(ConsoleOutput& console, const Options& options);

}  // namespace kp
