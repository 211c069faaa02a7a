#include "archive/update_archive.h"

#include <algorithm>
#include <cstring>

namespace kp {

u64 archive_end(const UpdateArchive& archive) {
    return archive.data_start + archive.chunk_total;
}

namespace {

// The bytes after `bytes`' last one that is not zero go: a reader pads with zeros.
void drop_trailing_zeros(std::string& bytes) {
    const std::size_t last = bytes.find_last_not_of('\0');
    bytes.resize(last == std::string::npos ? 0 : last + 1);
}

ByteRange padding_of(const EntryRecord& entry) {
    return {u64{entry.data_offset} + entry.record.size,
            entry.chunk_size >= entry.record.size ? u64{entry.chunk_size} - entry.record.size : 0};
}

// What a stream reads, copied where it falls into a padding.
void take_padding(void* context, u64 offset, const unsigned char* bytes, std::size_t size) {
    auto& unseen = *static_cast<UnseenBytes*>(context);
    const std::vector<EntryRecord>& entries = unseen.archive->entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ByteRange padding = padding_of(entries[i]);
        const u64 start = std::max(padding.offset, offset);
        const u64 end = std::min(padding.end(), offset + size);
        if (start >= end || start != padding.offset + unseen.seen[i]) continue;
        std::memcpy(unseen.padding[i].data() + (start - padding.offset), bytes + (start - offset), end - start);
        unseen.seen[i] += end - start;
    }
}

}  // namespace

void gather_unseen_bytes(const UpdateArchive& archive, SourceFile& source, UnseenBytes& unseen) {
    unseen.archive = &archive;
    const u64 directory_end = record_size * (u64{archive.entries.size()} + 1);
    if (archive.data_start > directory_end) {
        unseen.gap.assign(archive.data_start - directory_end, '\0');
        unseen.gap.resize(read_up_to(source, directory_end, unseen.gap.data(), unseen.gap.size()));
        drop_trailing_zeros(unseen.gap);
    }
    unseen.padding.assign(archive.entries.size(), {});
    unseen.seen.assign(archive.entries.size(), 0);
    for (std::size_t i = 0; i < archive.entries.size(); ++i) {
        const ByteRange padding = padding_of(archive.entries[i]);
        unseen.padding[i].assign(padding.size, '\0');
        if (source.stream) continue;
        unseen.seen[i] = read_up_to(source, padding.offset, unseen.padding[i].data(), padding.size);
    }
    if (!source.stream) return;
    // What the load read ahead is told of at once, the rest as the run reads it.
    take_padding(&unseen, source.position - source.buffered, source.buffer.data(), source.buffered);
    source.tap = {take_padding, &unseen};
}

void unseen_bytes_done(SourceFile& source, UnseenBytes& unseen) {
    source.tap = {};
    for (std::size_t i = 0; i < unseen.padding.size(); ++i) {
        if (unseen.seen[i] != unseen.padding[i].size()) unseen.padding[i].clear();  // not all of it is there
        drop_trailing_zeros(unseen.padding[i]);
    }
}

const std::vector<u32>& mismatched_positions(const UpdateArchive& archive) {
    static const std::vector<u32> none;
    return archive.loaded ? archive.mismatched : none;
}

}  // namespace kp
