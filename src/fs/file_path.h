// Paths inside the program are UTF-8 strings; the file system gets them in its own form.
#pragma once

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

// The file-name rules a name is checked against: Windows adds device names and parts
// that the system would silently change.
enum class NameRules : unsigned char { posix, windows };

// The rules of the platform this program runs on.
NameRules native_name_rules();

}  // namespace kp
