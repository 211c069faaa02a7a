#include "archive/update_archive.h"

namespace kp {

const std::vector<u32>& mismatched_positions(const UpdateArchive& archive) {
    static const std::vector<u32> none;
    return archive.loaded ? archive.mismatched : none;
}

}  // namespace kp
