// Writing the update files a scan finds to files of their own, named by their offset, each
// through a new file that takes its name only once complete.
#pragma once

#include <string>

#include "fs/new_files.h"
#include "ops/scan.h"

namespace kp {

struct CarveTarget {
    FileHandle directory = no_file;  // opened once, at the start of the run
    std::string directory_text;      // as given, for the paths told
    Existing existing = Existing::replace;
};

// The leaf a hit is written to: its offset in at least 8 lower-case hexadecimal digits.
std::string carved_leaf(u64 offset);

struct CarveOutcome {
    Placed placed = Placed::failed;
    std::string path;         // what was, or would have been, written
    std::string system_text;  // why not, where the system said
    bool skipped = false;     // not even tried: a stream's bytes were going to another file
};

// From a file: the bytes the hit spans, or as far as the file goes.
CarveOutcome carve_from_file(SourceFile& source, const FoundUpdate& found, const CarveTarget& target);

// From a stream, whose bytes pass once: one hit at a time is written, as they pass.
struct StreamCarving {
    const CarveTarget* target = nullptr;
    PendingFile file;
    bool writing = false;
    bool write_failed = false;
    u64 offset = 0;
    u64 end = 0;
    CarveOutcome outcome;
};

// Starts writing the hit, once the one before it is done; false when no file could be
// made, with why in `refused`.
bool carve_stream_begin(StreamCarving& carving, const FoundUpdate& found, CarveOutcome& refused);

// The stream's next bytes. True when the hit being written ended with them, which
// carve_stream_end then completes.
bool carve_stream_bytes(StreamCarving& carving, u64 offset, const unsigned char* bytes, std::size_t size);

// Completes the hit being written: at its end, or cut where the stream ended.
CarveOutcome carve_stream_end(StreamCarving& carving);

}  // namespace kp
