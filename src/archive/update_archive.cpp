#include <algorithm>

#include "archive/update_archive.h"

namespace kp {

std::vector<u32> mismatched_positions(const UpdateArchive& archive) {
    std::vector<u32> mismatched;
    if (!archive.loaded) return mismatched;
    for (std::size_t position = 0; position < archive.entries.size(); ++position) {
        const u64 key = archive.entries[position].record.signature[0];
        const auto group = std::lower_bound(archive.groups.begin(), archive.groups.end(), key,
                                            [](const SignatureGroup& g, u64 k) { return g.signature < k; });
        // Every entry's first signature has a group, which lists the entries it accepted.
        if (!std::binary_search(group->positions.begin(), group->positions.end(), static_cast<i32>(position))) {
            mismatched.push_back(static_cast<u32>(position));
        }
    }
    return mismatched;
}

}  // namespace kp
