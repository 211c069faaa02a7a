#include "ops/scan.h"

#include <algorithm>
#include <deque>
#include <queue>
#include <vector>

#include "fs/stream.h"
#include "ops/names.h"

namespace kp {

namespace {

// A hit whose members later hits may lie in: [start, end) is where its chunks lie.
struct Parent {
    u64 offset = 0;
    u64 start = 0;
    u64 end = 0;
};

struct LaterStart {
    bool operator()(const Parent& a, const Parent& b) const { return a.start > b.start; }
};
struct EarlierOffset {
    bool operator()(const Parent& a, const Parent& b) const { return a.offset < b.offset; }
};

struct Scan {
    SourceFile& source;
    const ScanSink& sink;
    ScanOutcome outcome;
    // Parents whose chunks begin later, and those whose chunks have begun, the latest
    // parent on top: the innermost a hit can lie in. Ones that ended leave when on top.
    std::priority_queue<Parent, std::vector<Parent>, LaterStart> waiting;
    std::priority_queue<Parent, std::vector<Parent>, EarlierOffset> open;
    std::deque<FoundUpdate> unsure;  // a stream's hits, until it is known whether they are cut
    u64 passed_to = 0;
    std::size_t compact_at = 1024;  // when `open` next lets go of the parents that ended below its top
};

// Parents that ended stay in `open` while a later one is on top; rebuilt once it has
// doubled, it holds at most twice the parents still open, whatever the blob.
void compact(Scan& scan, u64 at) {
    if (scan.open.size() < scan.compact_at) return;
    std::vector<Parent> kept;
    while (!scan.open.empty()) {
        if (scan.open.top().end > at) kept.push_back(scan.open.top());
        scan.open.pop();
    }
    for (const Parent& parent : kept) scan.open.push(parent);
    scan.compact_at = std::max<std::size_t>(1024, 2 * scan.open.size());
}

void locate(Scan& scan, FoundUpdate& found) {
    const u64 at = found.hit.offset;
    while (!scan.waiting.empty() && scan.waiting.top().start <= at) {
        scan.open.push(scan.waiting.top());
        scan.waiting.pop();
    }
    while (!scan.open.empty() && scan.open.top().end <= at) scan.open.pop();
    compact(scan, at);
    if (!scan.open.empty()) {
        found.inside = true;
        found.within = scan.open.top().offset;
    }
    const Parent parent{at, at + found.hit.data_start, at + found.hit.derived_end};
    if (parent.start < parent.end) scan.waiting.push(parent);
}

void tell(Scan& scan, const FoundUpdate& found) {
    ++scan.outcome.hits;
    if (scan.sink.found != nullptr) scan.sink.found(scan.sink.context, found);
}

// Tells the stream's hits whose cut is known now that `known` bytes are.
void tell_known(Scan& scan, u64 known, bool ended) {
    while (!scan.unsure.empty() && (ended || scan.unsure.front().end <= known)) {
        scan.unsure.front().cut = scan.unsure.front().end > known;
        tell(scan, scan.unsure.front());
        scan.unsure.pop_front();
    }
}

void on_hit(void* context, const ScanHit& hit) {
    auto& scan = *static_cast<Scan*>(context);
    FoundUpdate found;
    found.hit = hit;
    found.end = hit.declared_end();
    locate(scan, found);
    if (scan.sink.confirmed != nullptr) scan.sink.confirmed(scan.sink.context, found);
    if (scan.source.is_stream()) {
        scan.unsure.push_back(found);
        return;
    }
    found.cut = found.end > scan.source.length;
    tell(scan, found);
}

void on_passed(void* context, u64 offset, const unsigned char* bytes, std::size_t size) {
    auto& scan = *static_cast<Scan*>(context);
    if (scan.sink.passed != nullptr) scan.sink.passed(scan.sink.context, offset, bytes, size);
    scan.passed_to = offset + size;
    tell_known(scan, scan.passed_to, false);
}

std::size_t read_scanned(void* context, unsigned char* buffer, std::size_t size) {
    return read_at_cursor(*static_cast<SourceFile*>(context), buffer, size);
}

bool name_extracts(std::string_view name) {
    return is_safe_entry_name(name, NameRules::posix);
}

}  // namespace

ScanRules scan_rules(bool weak) {
    return {weak, name_extracts};
}

ScanOutcome scan_source(SourceFile& source, const ScanRules& rules, const ScanSink& sink) {
    Scan scan{source, sink, {}, {}, {}, {}, 0, 1024};
    const ScanEvents events{on_hit, on_passed, &scan};
    scan.outcome.size = scan_blob({read_scanned, &source}, rules, events);
    scan.outcome.read_failed = !source.read_failure.empty();
    tell_known(scan, scan.outcome.size, true);
    return scan.outcome;
}

}  // namespace kp
