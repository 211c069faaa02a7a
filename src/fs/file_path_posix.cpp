#include "fs/file_path.h"

#include <string>

namespace kp {

std::filesystem::path file_path(std::string_view text) {
    return std::filesystem::path(std::string(text));
}

NameRules native_name_rules() {
    return NameRules::posix;
}

std::string path_text(const std::filesystem::path& path) {
    return path.native();
}

}  // namespace kp
