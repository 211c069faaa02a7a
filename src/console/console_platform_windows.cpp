#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "console/console_platform.h"

namespace kp {

namespace {

UINT saved_output_code_page = 0;  // 0: not changed

bool write_to_sink(void* handle, const char* data, std::size_t size) {
    return write_all(reinterpret_cast<std::intptr_t>(handle), data, size);
}

void set_attribute(void* handle, u16 attribute) {
    SetConsoleTextAttribute(static_cast<HANDLE>(handle), attribute);
}

}  // namespace

bool write_all(std::intptr_t handle, const void* data, std::size_t size) {
    // WriteFile, not the C stream: no newline translation, so a pipe gets the bytes as
    // printed, as on every other platform.
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(handle), bytes, chunk, &written, nullptr) || written == 0) return false;
        bytes += written;
        size -= written;
    }
    return true;
}

void* platform_stdout_handle() {
    const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

void* platform_stderr_handle() {
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

std::intptr_t platform_stderr_file() {
    return reinterpret_cast<std::intptr_t>(GetStdHandle(STD_ERROR_HANDLE));
}

ConsoleTraits platform_console_traits(void* handle) {
    ConsoleTraits traits;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (handle != nullptr && GetConsoleScreenBufferInfo(static_cast<HANDLE>(handle), &info)) {
        traits.terminal = true;
        traits.native_attributes = true;
        traits.width = info.dwMaximumWindowSize.X > 0 ? static_cast<u16>(info.dwMaximumWindowSize.X) : 0;
        traits.attribute = info.wAttributes;
    }
    return traits;
}

ConsoleSink platform_stdout_sink(void* handle) {
    return ConsoleSink{handle != nullptr ? write_to_sink : nullptr, set_attribute, handle};
}

void platform_console_begin(void* handle) {
    DWORD mode = 0;
    if (handle == nullptr || !GetConsoleMode(static_cast<HANDLE>(handle), &mode)) return;
    saved_output_code_page = GetConsoleOutputCP();
    if (saved_output_code_page != 0) SetConsoleOutputCP(CP_UTF8);
}

void platform_console_end() {
    if (saved_output_code_page == 0) return;
    SetConsoleOutputCP(saved_output_code_page);
    saved_output_code_page = 0;
}

}  // namespace kp
