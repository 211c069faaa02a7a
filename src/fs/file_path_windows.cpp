#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "fs/file_path.h"
#include "fs/utf16.h"

namespace kp {

namespace {

// Empty when `text` is not valid in `code_page` (with MB_ERR_INVALID_CHARS) or empty.
std::wstring widen(std::string_view text, UINT code_page, DWORD flags) {
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(code_page, flags, text.data(), size, nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(code_page, flags, text.data(), size, wide.data(), length);
    return wide;
}

}  // namespace

std::filesystem::path file_path(std::string_view text) {
    if (text.empty()) return {};
    std::wstring wide = widen(text, CP_UTF8, MB_ERR_INVALID_CHARS);
    if (wide.empty()) wide = widen(text, CP_ACP, 0);  // names written by ANSI tools
    return std::filesystem::path(wide);
}

NameRules native_name_rules() {
    return NameRules::windows;
}

std::string path_text(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    return utf16_to_utf8(wide.data(), wide.data() + wide.size());
}

}  // namespace kp
