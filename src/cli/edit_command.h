// --update and --delete: FILE changed in place, or written changed as --out's NEW, said
// as the command line says it.
#pragma once

#include "cli/inputs.h"
#include "cli/options.h"
#include "console/console.h"
#include "create/edit.h"

namespace kp {

// Makes the change `request` asks for with the files under -C's directory or the current
// one, open in `inputs`: what stops it is said on standard error, and then nothing is
// written; -v's lines go to standard output, the warnings to standard error. True when
// the change was made, or changed nothing.
bool run_edit(ConsoleOutput& console, const Options& options, const EditRequest& request, const RunInputs& inputs);

}  // namespace kp
