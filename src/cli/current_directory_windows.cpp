#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>
#include <vector>

#include "cli/current_directory.h"
#include "fs/utf16.h"

namespace kp {

std::string current_directory() {
    const DWORD length = GetCurrentDirectoryW(0, nullptr);
    if (length == 0) return {};
    std::vector<wchar_t> wide(length);
    const DWORD written = GetCurrentDirectoryW(length, wide.data());
    if (written == 0 || written >= length) return {};
    std::string text(3 * static_cast<std::size_t>(written) + 1, '\0');
    if (utf16_to_utf8(text.data(), text.size(), wide.data(), wide.data() + written) == nullptr) return {};
    text.resize(std::char_traits<char>::length(text.c_str()));
    return text;
}

}  // namespace kp
