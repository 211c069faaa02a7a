// Hunting for update files inside any file or stream: every hit in offset order, with
// where it ends, whether the blob cuts it, and in whose member it lies.
#pragma once

#include <cstddef>
#include <string>

#include "archive/scan.h"
#include "fs/source.h"

namespace kp {

struct FoundUpdate {
    ScanHit hit;
    u64 end = 0;          // offset + total_blocks × 512, as its header says
    bool cut = false;     // the blob ends before `end`
    bool inside = false;  // it begins inside a member's chunk of the update file at `within`
    u64 within = 0;       // of those, the one that begins last
};

// What a scan tells, in offset order; any call may be null. `confirmed` comes as soon as a
// hit is known, before its bytes reach `passed` and, for a stream, before it is known to
// be cut: `found` follows once that is known, for a file at once.
struct ScanSink {
    void* context = nullptr;
    void (*confirmed)(void* context, const FoundUpdate& found) = nullptr;
    void (*found)(void* context, const FoundUpdate& found) = nullptr;
    void (*passed)(void* context, u64 offset, const unsigned char* bytes, std::size_t size) = nullptr;
};

struct ScanOutcome {
    u64 size = 0;  // the bytes the scan read: the blob's size, unless a read failed
    u64 hits = 0;
    bool read_failed = false;  // what the system said in the source's read_failure
};

// The rules of a hit: with `weak`, also what only the loader would accept, marked so.
// Names must be ones extraction accepts under POSIX rules, on every platform, so that a
// blob yields the same hits everywhere.
ScanRules scan_rules(bool weak);

// Scans `source` from its cursor to its end, read once. Memory stays bounded for a stream,
// but for hits whose end is still ahead, kept until it is known whether they are cut.
ScanOutcome scan_source(SourceFile& source, const ScanRules& rules, const ScanSink& sink);

}  // namespace kp
