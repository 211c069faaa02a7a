// Paths inside the program are UTF-8 strings; the file system gets them in its own form.
#pragma once

#include <filesystem>
#include <string_view>

namespace kp {

// The file-system path for UTF-8 `text` (wide on Windows, the same bytes elsewhere).
inline std::filesystem::path file_path(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

}  // namespace kp
