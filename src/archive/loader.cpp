#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "archive/update_archive.h"
#include "fs/file_path.h"
#include "fs/files.h"
#include "fs/memory.h"
#include "fs/stream.h"

namespace kp {

namespace {

// Where the loader's bytes come from: `read` fills up to `size` bytes and returns how
// many it got, fewer only at the end of the data or on an error.
struct ByteSource {
    std::size_t (*read)(void* source, unsigned char* buffer, std::size_t size) = nullptr;
    void* source = nullptr;
};

// Adds the next directory record, with the layout derived so far. Appended, not written
// over a zeroed table: zeroing a large directory's table first costs a pass over it, and
// so does an entry zeroed in the table before its fields are: it is built where it is
// cheap to, on the stack, and copied once.
void accept_entry(UpdateArchive& archive, const unsigned char* bytes) {
    EntryRecord entry;
    decode_record(bytes, entry.record);
    entry.chunk_size = chunk_size_of(entry.record.size);
    entry.data_offset = static_cast<u32>(archive.data_start + archive.chunk_sum);
    archive.used_size = static_cast<u32>(archive.used_size + entry.record.size);
    archive.chunk_sum = static_cast<u32>(archive.chunk_sum + entry.chunk_size);
    archive.chunk_total += entry.chunk_size;
    archive.entries.push_back(entry);
}

// Room for `count` elements in `table`, its pages faulted in at once: the tables of a
// large directory span hundreds of pages, and faulting them one at a time would cost
// the listing more than reading the directory.
template <typename T>
void reserve_populated(std::vector<T>& table, std::size_t count) {
    table.reserve(count);
    prefault(table.data(), count * sizeof(T));
}

// (signature[0], position) of the first `count` entries, ascending by signature and,
// within one signature, by position. The entries are dealt into buckets by the highest
// bits in which their signatures differ, which leaves four entries or so to a bucket for
// signatures spread out the way checksums are (fewer buckets would mean longer sorts,
// more would mean a larger table of their ends to clear), and each bucket is then sorted
// on its own; signatures that crowd into a few buckets still cost no more than one sort.
std::vector<std::pair<u64, u32>> sorted_by_signature(const UpdateArchive& archive, u32 count) {
    constexpr int most_bucket_bits = 10;
    std::vector<std::pair<u64, u32>> order;
    reserve_populated(order, count);
    order.resize(count);
    if (count == 0) return order;
    const auto signature = [&archive](u32 position) { return archive.entries[position].record.signature[0]; };

    u64 differing = 0;  // every bit in which some signature differs from the first
    for (u32 position = 1; position < count; ++position) differing |= signature(position) ^ signature(0);
    const int bucket_bits = std::clamp(static_cast<int>(std::bit_width(count)) - 2, 1, most_bucket_bits);
    const int shift = std::max(static_cast<int>(std::bit_width(differing)) - bucket_bits, 0);
    const u64 mask = (u64{1} << bucket_bits) - 1;
    const auto bucket_of = [&](u32 position) {
        return static_cast<std::size_t>((signature(position) >> shift) & mask);
    };

    // ends[b] counts bucket b, then holds where it starts, and after dealing where it ends.
    std::array<u32, std::size_t{1} << most_bucket_bits> ends;
    std::fill_n(ends.begin(), std::size_t{1} << bucket_bits, 0);
    for (u32 position = 0; position < count; ++position) ++ends[bucket_of(position)];
    u32 start = 0;
    for (std::size_t bucket = 0; bucket <= mask; ++bucket) start += std::exchange(ends[bucket], start);
    for (u32 position = 0; position < count; ++position) {  // in position order, so equal keys stay ascending
        order[ends[bucket_of(position)]++] = {signature(position), position};
    }

    u32 begin = 0;
    for (std::size_t bucket = 0; bucket <= mask; ++bucket) {
        const auto first = order.begin() + begin;
        const auto last = order.begin() + ends[bucket];
        if (last - first > 16) {
            // Dealt in position order, a bucket of one signature (a new file's, all zero)
            // is in order already.
            if (!std::is_sorted(first, last)) std::sort(first, last);
        } else {
            for (auto next = first; next != last; ++next) {  // insertion sort: a handful at most
                const auto key = *next;
                auto hole = next;
                for (; hole != first && key < *(hole - 1); --hole) *hole = *(hole - 1);
                *hole = key;
            }
        }
        begin = ends[bucket];
    }
    return order;
}

// Groups the first `count` entries by signature[0], keeping the groups that two or more
// entries share: a signature of its own is no finding, and a large directory holds
// thousands. An entry joins its group when it is the group's first or carries the
// group's second signature; since only agreeing entries join, that signature is the
// first entry's throughout, and one sort of the keys finds every group without a lookup
// per entry. Each entry that does not join is kept in `mismatched`, in directory order,
// exactly as if the entries had been taken one by one.
void group_entries(UpdateArchive& archive, u32 count) {
    const std::vector<std::pair<u64, u32>> order = sorted_by_signature(archive, count);
    const auto run_end = [&order](std::size_t run) {
        std::size_t next = run + 1;
        while (next < order.size() && order[next].first == order[run].first) ++next;
        return next;
    };

    // Reserved in full, so the spans handed out below stay valid while they fill.
    std::size_t shared_groups = 0;
    std::size_t shared_entries = 0;
    for (std::size_t run = 0, next = 0; run < order.size(); run = next) {
        next = run_end(run);
        if (next - run < 2) continue;
        ++shared_groups;
        shared_entries += next - run;
    }
    archive.groups.reserve(shared_groups);
    archive.grouped_positions.reserve(shared_entries);

    std::vector<bool> rejected(count);
    for (std::size_t run = 0, next = 0; run < order.size(); run = next) {
        next = run_end(run);
        if (next - run < 2) continue;
        SignatureGroup group;
        group.signature = order[run].first;
        group.second_signature = archive.entries[order[run].second].record.signature[1];
        const std::size_t first = archive.grouped_positions.size();
        for (std::size_t member = run; member < next; ++member) {
            const u32 position = order[member].second;
            if (archive.entries[position].record.signature[1] == group.second_signature) {
                archive.grouped_positions.push_back(position);
            } else {
                rejected[position] = true;
            }
        }
        const std::size_t members = archive.grouped_positions.size() - first;
        if (members < 2) {  // the others all disagreed with the first
            archive.grouped_positions.resize(first);
            continue;
        }
        group.positions = {archive.grouped_positions.data() + first, members};
        archive.groups.push_back(group);
    }

    for (u32 position = 0; position < count; ++position) {
        if (rejected[position]) archive.mismatched.push_back(position);
    }
}

// The directory is read in blocks of this many records through one small buffer, not
// into a buffer of its own size: every fresh page of memory costs the process a page
// fault, and the entries themselves already take a page for every 24 records.
constexpr u32 records_per_block = 512;

// Reads and accepts directory records until `file_count` or the first short one, and
// returns how many were complete: records before a short one still count, exactly as if
// each had been read on its own. Its block is given back before the grouping's tables
// are taken, which can then reuse that memory.
u32 read_directory(UpdateArchive& archive, const ByteSource& in, u32 file_count) {
    const u32 block_records = std::min(file_count, records_per_block);
    const auto block = std::make_unique_for_overwrite<unsigned char[]>(std::size_t{block_records} * record_size);
    prefault(block.get(), std::size_t{block_records} * record_size);
    u32 complete = 0;
    while (complete < file_count) {
        const u32 wanted = std::min(file_count - complete, block_records);
        const std::size_t got = in.read(in.source, block.get(), std::size_t{wanted} * record_size);
        const auto whole = static_cast<u32>(got / record_size);
        for (u32 i = 0; i < whole; ++i) {
            accept_entry(archive, block.get() + std::size_t{i} * record_size);
        }
        complete += whole;
        if (whole < wanted) break;
    }
    return complete;
}

i32 malformed(LoadProblem& problem, LoadProblem::Kind kind, u64 first, u64 second = 0) {
    problem.kind = kind;
    problem.first = first;
    problem.second = second;
    return load_malformed;
}

i32 load_from(UpdateArchive& archive, const ByteSource& in, LoadProblem& problem, Grouping grouping = Grouping::found) {
    RecordBytes header;
    const std::size_t header_bytes = in.read(in.source, header.data(), header.size());
    if (header_bytes != header.size()) {
        return malformed(problem, LoadProblem::Kind::short_header, header_bytes);
    }
    archive.header.record = decode_record(header.data());
    const u32 file_count = archive.header.record.index;
    if (file_count < 1 || file_count > max_file_count) {
        return malformed(problem, LoadProblem::Kind::file_count, file_count);
    }

    archive.data_start = data_start_of(file_count);
    archive.entries.clear();
    archive.groups.clear();
    archive.grouped_positions.clear();
    archive.mismatched.clear();
    reserve_populated(archive.entries, file_count);
    archive.used_size = 0;
    archive.chunk_sum = 0;
    archive.chunk_total = 0;

    const u32 complete = read_directory(archive, in, file_count);
    archive.entries.resize(file_count);  // the records a short directory lacks, as empty ones
    if (grouping == Grouping::found) group_entries(archive, complete);
    if (complete < file_count) {
        return malformed(problem, LoadProblem::Kind::short_directory, complete, file_count);
    }

    const u32 declared_end = static_cast<u32>(archive.header.record.size * chunk_alignment);
    const auto derived_end = static_cast<u32>(archive.data_start + archive.chunk_sum);
    if (derived_end != declared_end) {
        return malformed(problem, LoadProblem::Kind::sizes, derived_end, declared_end);
    }
    archive.loaded = true;
    return static_cast<i32>(file_count);
}

std::size_t read_istream(void* source, unsigned char* buffer, std::size_t size) {
    auto& in = *static_cast<std::istream*>(source);
    in.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(in.gcount());
}

std::size_t read_source(void* source, unsigned char* buffer, std::size_t size) {
    return read_at_cursor(*static_cast<SourceFile*>(source), buffer, size);
}

}  // namespace

LoadProblem::Format format_of(const unsigned char* bytes, std::size_t size) {
    using Format = LoadProblem::Format;
    const auto starts = [&](std::size_t at, std::string_view mark) {
        return size >= at + mark.size() && std::memcmp(bytes + at, mark.data(), mark.size()) == 0;
    };
    // Marks long enough that a version text is unlikely to begin with one by chance.
    const std::pair<std::string_view, Format> marks[] = {
        {"\x1f\x8b\x08", Format::gzip},
        {std::string_view("\xfd"
                          "7zXZ\0",
                          6),
         Format::xz},
        {"\x28\xb5\x2f\xfd", Format::zstd},
        {"PK\x03\x04", Format::zip},
        {"PK\x05\x06", Format::zip},
        {"7z\xbc\xaf\x27\x1c", Format::seven_zip},
        {"\x7f"
         "ELF",
         Format::elf},
    };
    for (const auto& [mark, format] : marks) {
        if (starts(0, mark)) return format;
    }
    if (starts(0, "BZh") && size > 3 && bytes[3] >= '1' && bytes[3] <= '9') return Format::bzip2;
    if (starts(257, "ustar")) return Format::tar;
    // A Windows program: "MZ", and where its header says, "PE" and two NULs.
    if (starts(0, "MZ") && size >= 0x40) {
        const u32 pe = read_u32le(bytes + 0x3C);
        if (pe <= size - 4 && starts(pe, std::string_view("PE\0\0", 4))) return Format::windows_program;
    }
    return Format::unknown;
}

i32 load_archive(UpdateArchive& archive, SourceFile& source, LoadProblem& problem, Grouping grouping) {
    problem = {};
    // With a multiple of four entries, entry 0's chunk begins at the directory's last
    // record, which the load reads first: a stream keeps one record behind each read.
    source.keep_back = record_size;
    // What names a file that is no update file lies in its first bytes, which a stream
    // passes as the load reads on: taken before the load there, after it from a file.
    unsigned char first[512];
    std::size_t first_size = 0;
    if (source.stream) {
        stream_read_ahead(source, 0, sizeof first);  // the short stream's end is the load's to find
        first_size = read_up_to(source, 0, first, sizeof first);
    }
    const i32 loaded = load_from(archive, {read_source, &source}, problem, grouping);
    if (loaded < 0 && !source.read_failure.empty()) {
        // Not the file's fault but the reading's: say what the system said.
        problem = {LoadProblem::Kind::unreadable, 0, 0, source.read_failure};
    } else if (loaded < 0) {
        if (!source.stream) first_size = read_up_to(source, 0, first, sizeof first);
        problem.format = format_of(first, first_size);
    }
    return loaded;
}

i32 load_archive(UpdateArchive& archive, std::istream& in, LoadProblem* problem) {
    LoadProblem ignored;
    return load_from(archive, {read_istream, &in}, problem != nullptr ? *problem : ignored);
}

bool is_update_file(const std::string& path) {
    SourceFile source;
    if (!open_source(source, file_path(path))) return false;
    UpdateArchive archive;
    LoadProblem problem;
    const bool loads = load_archive(archive, source, problem) > 0;
    close_source(source);
    return loads;
}

}  // namespace kp
