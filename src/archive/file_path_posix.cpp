#include "archive/file_path.h"

#include <string>

namespace kp {

std::filesystem::path file_path(std::string_view text) {
    return std::filesystem::path(std::string(text));
}

std::string path_text(const std::filesystem::path& path) {
    return path.native();
}

std::FILE* open_for_reading(const std::filesystem::path& path) {
    return std::fopen(path.c_str(), "rb");
}

}  // namespace kp
