// The in-memory archive that the loader fills and the reports and extraction read.
#pragma once

#include <istream>
#include <span>
#include <string>
#include <vector>

#include "archive/records.h"
#include "fs/copy.h"

namespace kp {

inline constexpr u32 max_file_count = 5000;

// Load results besides the file count.
inline constexpr i32 load_cannot_open = -1;
inline constexpr i32 load_malformed = -2;

struct SignatureGroup {
    u64 signature = 0;               // signature[0] shared by the group's entries
    std::span<const u32> positions;  // directory positions in the order they were accepted
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
    // What the first bytes of a file that is no update file say it is instead.
    enum class Format : unsigned char { unknown, gzip, xz, zstd, bzip2, zip, tar, seven_zip, elf, windows_program };
    Kind kind = Kind::none;
    u64 first = 0;
    u64 second = 0;
    std::string system_text;
    Format format = Format::unknown;
};

// What `bytes`, the first of a file, say it is, where they are the mark of a format
// people mistake for an update file: compressed data, another archive, a program.
LoadProblem::Format format_of(const unsigned char* bytes, std::size_t size);

// Its groups' positions point into its own grouped_positions: a copy would point into the
// original's, so there is none. A move takes the vector's storage along, spans and all.
struct UpdateArchive {
    UpdateArchive() = default;
    UpdateArchive(const UpdateArchive&) = delete;
    UpdateArchive& operator=(const UpdateArchive&) = delete;
    UpdateArchive(UpdateArchive&&) noexcept = default;
    UpdateArchive& operator=(UpdateArchive&&) noexcept = default;

    EntryRecord header;
    u32 used_size = 0;    // sum of exact sizes (wraps at 2^32)
    u32 data_start = 0;   // offset of the first chunk
    u32 chunk_sum = 0;    // sum of chunk sizes (wraps at 2^32)
    u64 chunk_total = 0;  // the same sum in 64 bits, where it never wraps
    std::vector<EntryRecord> entries;
    std::vector<SignatureGroup> groups;  // one per signature[0] two or more entries share, ascending
    std::vector<u32> grouped_positions;  // storage behind every group's positions
    // Entries left out of their group because their second signature disagreed with
    // it, in directory order; found also when the load fails later on.
    std::vector<u32> mismatched;
    bool loaded = false;
};

// Whether a load finds the groups of entries that share a signature, which no validation
// needs: a caller that only compares the records can leave them.
enum class Grouping : unsigned char { found, left };

// Reads and validates the update file open in `source`, from its cursor on: exactly the
// header and the directory, in order, never a byte more, so that a stream reads on from
// there. Returns the file count or load_malformed, with why in `problem` (what the
// system said where a read failed). Each entry whose second signature disagrees with
// its group goes into `mismatched`.
i32 load_archive(UpdateArchive& archive, SourceFile& source, LoadProblem& problem, Grouping grouping = Grouping::found);

// The same validation over bytes in memory, positioned at the header.
i32 load_archive(UpdateArchive& archive, std::istream& in, LoadProblem* problem = nullptr);

// Whether `path` names a regular file that loads as an update file: for telling a user
// who named one where a member's name was wanted.
bool is_update_file(const std::string& path);

// Where the directory's chunks end the data region of a loaded archive, in 64 bits: past
// the end of every chunk, where the u32 sums of the format may have wrapped.
u64 archive_end(const UpdateArchive& archive);

// What an update file holds besides its records and every entry's own bytes: the gap
// between the directory and the data, and each chunk's padding. Only a document that gives
// the whole file back needs them.
struct UnseenBytes {
    std::string gap;                   // up to its last byte that is not zero
    std::vector<std::string> padding;  // by position; up to the last byte that is not zero
    std::vector<u64> seen;             // by position: how much of the padding a stream gave
    const UpdateArchive* archive = nullptr;
};

// Gathers them from `source`, right after the load: a file's at once; of a stream the gap
// at once and each padding as the run reads past it, so that the stream is read once. A
// padding the file or the stream does not hold whole is left out. unseen_bytes_done ends
// the gathering, once the run has read what it reads.
void gather_unseen_bytes(const UpdateArchive& archive, SourceFile& source, UnseenBytes& unseen);
void unseen_bytes_done(SourceFile& source, UnseenBytes& unseen);

// `mismatched` of a loaded archive; empty when the load failed.
const std::vector<u32>& mismatched_positions(const UpdateArchive& archive);

}  // namespace kp
