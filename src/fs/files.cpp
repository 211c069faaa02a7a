#include <random>
#include <string>

#include "fs/files.h"

namespace kp {

std::string temporary_suffix() {
    static std::minstd_rand random(std::random_device{}());
    return ".kpupdate-" + std::to_string(random() % 1000000000u);
}

}  // namespace kp
