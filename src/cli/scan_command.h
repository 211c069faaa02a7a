// --scan and --carve: the update files inside FILE, listed, and with --carve written out.
#pragma once

#include "cli/inputs.h"
#include "cli/options.h"
#include "console/console.h"

namespace kp {

// Scans FILE, open in `inputs`, printing what it finds as it goes; with --carve writes
// each hit under -C's directory or the current one. Returns the run's exit status: 0 when
// something was found, 1 when nothing was, 255 when FILE could not all be read or a
// carved file could not be written.
i32 run_scan(ConsoleOutput& console, const Options& options, RunInputs& inputs);

}  // namespace kp
