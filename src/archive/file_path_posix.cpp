#include "archive/file_path.h"

#include <string>

namespace kp {

std::filesystem::path file_path(std::string_view text) {
    return std::filesystem::path(std::string(text));
}

}  // namespace kp
