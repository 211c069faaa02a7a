// Paths inside the program are UTF-8 strings; the file system gets them in its own form.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace kp {

// The file-system path for `text`: the same bytes on POSIX; on Windows UTF-16 from
// UTF-8, or from the ANSI code page when the text is not valid UTF-8.
std::filesystem::path file_path(std::string_view text);

// The UTF-8 text of a file-system name: its bytes on POSIX, converted from UTF-16 on
// Windows.
std::string path_text(const std::filesystem::path& path);

// The file at `path` opened for binary reading as a C stream; null when it cannot be.
std::FILE* open_for_reading(const std::filesystem::path& path);

}  // namespace kp
