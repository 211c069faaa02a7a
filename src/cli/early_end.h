// The end of a run that stops before anything of the update file is read.
#pragma once

#include "cli/plan.h"
#include "console/console.h"

namespace kp {

// With --json one document saying why, on standard output, so that standard error stays
// empty; else the ending's lines on standard error.
void end_early(ConsoleOutput& console, const Ending& ending);

}  // namespace kp
