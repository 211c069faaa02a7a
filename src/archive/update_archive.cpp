#include "archive/update_archive.h"

namespace kp {

u64 archive_end(const UpdateArchive& archive) {
    u64 end = archive.data_start;
    for (const EntryRecord& entry : archive.entries) end += entry.chunk_size;
    return end;
}

std::string gap_bytes(const UpdateArchive& archive, SourceFile& source) {
    const u64 directory_end = record_size * (u64{archive.entries.size()} + 1);
    if (archive.data_start <= directory_end) return {};
    std::string gap(archive.data_start - directory_end, '\0');
    gap.resize(read_up_to(source, directory_end, gap.data(), gap.size()));
    return gap;
}

const std::vector<u32>& mismatched_positions(const UpdateArchive& archive) {
    static const std::vector<u32> none;
    return archive.loaded ? archive.mismatched : none;
}

}  // namespace kp
