#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/file_path.h"
#include "archive/update_archive.h"

namespace kp {

namespace {

// Adds one directory record at `position`, with the layout derived so far.
void accept_entry(UpdateArchive& archive, u32 position, const unsigned char* bytes) {
    EntryRecord& entry = archive.entries[position];
    entry.record = decode_record(bytes);
    entry.chunk_size = chunk_size_of(entry.record.size);
    entry.data_offset = static_cast<u32>(archive.data_start + archive.chunk_sum);
    archive.used_size = static_cast<u32>(archive.used_size + entry.record.size);
    archive.chunk_sum = static_cast<u32>(archive.chunk_sum + entry.chunk_size);
}

// Groups the first `count` entries by signature[0]. An entry joins its group when it is
// the group's first or carries the group's second signature; since only agreeing entries
// join, that signature is the first entry's throughout, and one sort of the keys finds
// every group without a lookup per entry. Each entry that does not join is reported, in
// directory order, exactly as if the entries had been taken one by one.
void group_entries(UpdateArchive& archive, u32 count) {
    std::vector<std::pair<u64, u32>> order(count);  // (signature[0], position)
    for (u32 position = 0; position < count; ++position) {
        order[position] = {archive.entries[position].record.signature[0], position};
    }
    std::sort(order.begin(), order.end());

    // Reserved in full, so the spans handed out below stay valid while it fills.
    archive.grouped_positions.reserve(count);
    archive.groups.reserve(count);
    std::vector<bool> rejected(count);
    for (std::size_t run = 0; run < order.size();) {
        SignatureGroup group;
        group.signature = order[run].first;
        group.second_signature = archive.entries[order[run].second].record.signature[1];
        const std::size_t first = archive.grouped_positions.size();
        std::size_t next = run;
        for (; next < order.size() && order[next].first == group.signature; ++next) {
            const u32 position = order[next].second;
            if (archive.entries[position].record.signature[1] == group.second_signature) {
                archive.grouped_positions.push_back(static_cast<i32>(position));
            } else {
                rejected[position] = true;
            }
        }
        group.positions = {archive.grouped_positions.data() + first, archive.grouped_positions.size() - first};
        archive.groups.push_back(group);
        run = next;
    }

    if (archive.console == nullptr) return;
    for (u32 position = 0; position < count; ++position) {
        if (!rejected[position]) continue;
        const DirectoryRecord& record = archive.entries[position].record;
        console_print(*archive.console, attr_red, "2nd data mismatch at (%d) %s.\n", static_cast<i32>(record.index),
                      console_text(*archive.console, record_text(record.name)).c_str());
    }
}

}  // namespace

i32 load_archive(UpdateArchive& archive, std::istream& in) {
    RecordBytes header;
    if (!in.read(reinterpret_cast<char*>(header.data()), header.size())) {
        return load_malformed;
    }
    archive.header.record = decode_record(header.data());
    const u32 file_count = archive.header.record.index;
    if (file_count < 1 || file_count > max_file_count) {
        return load_malformed;
    }

    archive.data_start = data_start_of(file_count);
    archive.entries.resize(file_count);
    archive.used_size = 0;
    archive.chunk_sum = 0;

    // One read for the whole directory; records before a short one still count,
    // exactly as if each had been read on its own.
    const std::size_t directory_size = std::size_t{file_count} * record_size;
    const std::unique_ptr<char[]> directory(new char[directory_size]);  // filled by the read
    in.read(directory.get(), static_cast<std::streamsize>(directory_size));
    const auto complete = static_cast<u32>(static_cast<std::size_t>(in.gcount()) / record_size);
    const auto* bytes = reinterpret_cast<const unsigned char*>(directory.get());
    for (u32 position = 0; position < complete; ++position) {
        accept_entry(archive, position, bytes + std::size_t{position} * record_size);
    }
    group_entries(archive, complete);
    if (complete < file_count) {
        return load_malformed;
    }

    const u32 declared_end = static_cast<u32>(archive.header.record.size * chunk_alignment);
    if (static_cast<u32>(archive.data_start + archive.chunk_sum) != declared_end) {
        return load_malformed;
    }
    archive.loaded = true;
    return static_cast<i32>(file_count);
}

i32 load_archive(UpdateArchive& archive, const char* path) {
    std::ifstream in(file_path(path), std::ios::binary);
    if (!in.is_open()) {
        in.clear();
        in.open(file_path(archive.base_directory + path), std::ios::binary);
        if (!in.is_open()) {
            return load_cannot_open;
        }
    }
    const i32 result = load_archive(archive, in);
    if (result > 0) {
        archive.path = path;
    }
    return result;
}

}  // namespace kp
