// What --scan and --carve print: a table of the update files found, as they are found,
// or one JSON document at the end.
#pragma once

#include <string>

#include "console/console.h"
#include "ops/carve.h"
#include "report/json.h"

namespace kp {

struct ScanText {
    ConsoleOutput* console = nullptr;
    bool json = false;
    bool verbose = false;     // the path of each file carved
    std::string file;         // the blob, as named
    bool size_known = false;  // the blob's size is known before the scan: a file's
    u64 size = 0;
    bool headed = false;  // the table's heading is out
    bool begun = false;   // the document's start is out
    u64 hits = 0;
};

// One hit, and where --carve wrote it (null without --carve).
void scan_text_found(ScanText& text, const FoundUpdate& found, const CarveOutcome* carved);

// The end: how many were found in how many bytes, or why the blob could not all be read
// (`read_failure`, empty when it could).
void scan_text_end(ScanText& text, u64 size, const std::string& read_failure);

// Why a carved file was not written, for a "kpupdate: ..." line.
std::string carve_problem_text(const CarveOutcome& outcome);

}  // namespace kp
