// What --diff found: a section of the text report, or an object of the JSON one.
#pragma once

#include "console/console.h"
#include "ops/compare.h"
#include "report/json.h"

namespace kp {

// One line for the version and for each file added, removed, changed, extra or damaged,
// then the summary: SAME, DIFFERENT or DAMAGED.
void print_diff(ConsoleOutput& console, const DiffReport& report, bool after_reports);

// The findings as the value of a "diff" key.
void json_diff(JsonWriter& json, const DiffReport& report);

}  // namespace kp
