// The end of a run that stops before anything of the update file is read.
#pragma once

#include <string>
#include <vector>

#include "console/console.h"

namespace kp {

// With --json one document saying why, on standard output, so that standard error stays
// empty; else `lines` on standard error. Returns the failure status.
i32 end_early(ConsoleOutput& console, bool json, const std::string& message, const std::string& reason,
              const std::vector<std::string>& lines, const std::vector<std::string>& warnings = {});

}  // namespace kp
