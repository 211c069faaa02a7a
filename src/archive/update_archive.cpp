#include "archive/update_archive.h"

namespace kp {

u64 archive_end(const UpdateArchive& archive) {
    u64 end = archive.data_start;
    for (const EntryRecord& entry : archive.entries) end += entry.chunk_size;
    return end;
}

const std::vector<u32>& mismatched_positions(const UpdateArchive& archive) {
    static const std::vector<u32> none;
    return archive.loaded ? archive.mismatched : none;
}

}  // namespace kp
