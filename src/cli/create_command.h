// --create: a new update file from the files of a tree, or from a manifest, said as the
// command line says it.
#pragma once

#include "cli/inputs.h"
#include "cli/options.h"
#include "console/console.h"
#include "create/create_file.h"

namespace kp {

// Makes the file `request` asks for from the files under -C's directory or the current
// one, open in `inputs`: all that stops it is said on standard error, and then nothing
// is written. -v's names go to standard output, or where NEW goes there, to standard
// error. True when the file was made.
bool run_create(ConsoleOutput& console, const Options& options, const CreateRequest& request, const RunInputs& inputs);

}  // namespace kp
