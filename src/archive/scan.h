// Finding update files at any byte offset of a larger blob, read once from start to end.
// The format has no magic number: a hit is a header and directory that check themselves.
#pragma once

#include <cstddef>
#include <string_view>

#include "archive/records.h"

namespace kp {

// How strict a hit must be. `loads` is what the loader would accept at the offset; the
// other rules keep chance matches in real data out, and a candidate that passes the loader
// but breaks one of them is `weak`.
struct ScanRules {
    bool weak = false;  // report the loader's candidates that break the plausibility rules too
    // Whether an entry name is one extraction would accept; null: any name that ends in a NUL.
    bool (*name_accepted)(std::string_view name) = nullptr;
};

struct ScanHit {
    u64 offset = 0;      // of its header in the blob
    u32 file_count = 0;  // 1..5000
    u32 total_blocks = 0;
    u64 data_start = 0;                           // from the offset
    u64 derived_end = 0;                          // where its chunks end, from the offset, in 64 bits
    std::array<char, text_field_size> version{};  // the header's text field as it lies
    bool weak = false;                            // passes the loader, breaks a plausibility rule
    constexpr u64 declared_end() const { return offset + u64{total_blocks} * chunk_alignment; }
};

// Where the scan's bytes come from: up to `size` bytes into `buffer`, how many, fewer only
// at the end (or where a read failed, which the reader keeps to tell).
struct ScanReader {
    std::size_t (*read)(void* context, unsigned char* buffer, std::size_t size) = nullptr;
    void* context = nullptr;
};

// What the scan tells as it goes, in offset order. `found` is called once a hit's header
// and directory have been read, before its bytes reach `passed`; every byte of the blob
// reaches `passed` exactly once, in order, as the scan lets go of it. Either may be null.
struct ScanEvents {
    void (*found)(void* context, const ScanHit& hit) = nullptr;
    void (*passed)(void* context, u64 offset, const unsigned char* bytes, std::size_t size) = nullptr;
    void* context = nullptr;
};

// Scans the blob `read` gives, to its end, in memory bounded whatever its size, and
// returns how many bytes it held. Time is linear in that size, whatever the bytes.
u64 scan_blob(const ScanReader& read, const ScanRules& rules, const ScanEvents& events);

// The most bytes the scan holds at once, for its reads and its tables.
std::size_t scan_memory();

}  // namespace kp
