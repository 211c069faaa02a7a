// The in-memory archive that the loader fills and the reports and extraction read.
#pragma once

#include <istream>
#include <span>
#include <string>
#include <vector>

#include "archive/records.h"
#include "console/console.h"

namespace kp {

inline constexpr u32 max_file_count = 5000;

// Load results besides the file count.
inline constexpr i32 load_cannot_open = -1;
inline constexpr i32 load_malformed = -2;

struct SignatureGroup {
    u64 signature = 0;               // signature[0] shared by the group's entries
    std::span<const i32> positions;  // directory positions in the order they were accepted
    u64 second_signature = 0;        // signature[1] of the latest accepted entry
};

// Why a load failed, with what the check found.
struct LoadProblem {
    enum class Kind : unsigned char {
        none,
        cannot_open,      // system_text says why
        unreadable,       // opened, but reading failed: system_text says why
        short_header,     // first: the bytes there were
        file_count,       // first: the count the header holds
        short_directory,  // first: the complete records, second: the count
        sizes,            // first: where the directory's sizes end the archive, second: where the header does
    };
    Kind kind = Kind::none;
    u64 first = 0;
    u64 second = 0;
    std::string system_text;
};

struct UpdateArchive {
    std::string path;            // as passed to load_archive, kept only on success
    std::string base_directory;  // current directory with a trailing '/', or empty
    EntryRecord header;
    u32 used_size = 0;   // sum of exact sizes (wraps at 2^32)
    u32 data_start = 0;  // offset of the first chunk
    u32 chunk_sum = 0;   // sum of chunk sizes (wraps at 2^32)
    std::vector<EntryRecord> entries;
    std::vector<SignatureGroup> groups;  // one per distinct signature[0], ascending
    std::vector<i32> grouped_positions;  // storage behind every group's positions
    // Entries left out of their group because their second signature disagreed with
    // it, in directory order; found also when the load fails later on.
    std::vector<u32> mismatched;
    LoadProblem problem;  // why the load failed, when it did
    bool loaded = false;
    ConsoleOutput* console = nullptr;  // where the text reports go
};

// Where the loader's bytes come from: `read` fills up to `size` bytes and returns how
// many it got, fewer only at the end of the data or on an error. The loader asks for
// exactly the header and the directory, in order, and never for a byte more.
struct ByteSource {
    std::size_t (*read)(void* source, unsigned char* buffer, std::size_t size) = nullptr;
    void* source = nullptr;
};

// Reads and validates the update file at `path`, retrying with base_directory in
// front. Returns the file count, load_cannot_open or load_malformed, with why in
// `problem`. Each entry whose second signature disagrees with its group goes into
// `mismatched`.
i32 load_archive(UpdateArchive& archive, const char* path);

// The same validation over an open stream, positioned at the header. Leaves `path`
// alone; load_archive sets it.
i32 load_archive(UpdateArchive& archive, std::istream& in);

// The same validation over bytes read once, from the start: a pipe, standard input.
// Leaves `path` alone.
i32 load_archive(UpdateArchive& archive, const ByteSource& in);

// `mismatched` of a loaded archive; empty when the load failed.
const std::vector<u32>& mismatched_positions(const UpdateArchive& archive);

}  // namespace kp
