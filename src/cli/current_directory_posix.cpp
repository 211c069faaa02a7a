#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "cli/current_directory.h"

namespace kp {

std::string current_directory() {
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE || buffer.size() > (1u << 20)) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

}  // namespace kp
