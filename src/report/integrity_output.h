// The findings of --test: a section of the text report, or an object of the JSON one.
#pragma once

#include "archive/update_archive.h"
#include "console/console.h"
#include "ops/integrity.h"
#include "report/json.h"

namespace kp {

// Every finding on a line of its own (damage in red, notes in yellow), then the summary.
void print_integrity(ConsoleOutput& console, const UpdateArchive& archive, const IntegrityReport& report);

// The findings as the value of a "test" key.
void json_integrity(JsonWriter& json, const UpdateArchive& archive, const IntegrityReport& report);

}  // namespace kp
