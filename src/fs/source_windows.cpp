// Reading a source file by offset through its handle; Windows keeps no view of it.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>

#include "fs/source.h"
#include "fs/stream.h"

namespace kp {

namespace {

// The most one read asks for: a 32-bit process cannot hold a large chunk whole.
constexpr DWORD buffer_size = DWORD{1} << 20;

}  // namespace

bool open_source(SourceFile& source, const std::filesystem::path& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file, &length) || length.QuadPart < 0) {
        CloseHandle(file);
        return false;
    }
    source.handle = file_of(file);
    source.length = static_cast<u64>(length.QuadPart);
    return true;
}

void release_source(SourceFile&) {}  // nothing is held but the handle

void close_source(SourceFile& source) {
    if (source.handle != no_file) CloseHandle(handle_of(source.handle));
    source.handle = no_file;
}

std::size_t read_up_to(SourceFile& source, u64 offset, void* buffer, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    if (source.stream) return read_stream_at(source, offset, bytes, size);
    const auto limited = static_cast<std::size_t>(within_limit(source, offset, size));
    std::size_t done = 0;
    while (done < limited) {
        OVERLAPPED at{};
        const u64 from = source.base + offset + done;
        at.Offset = static_cast<DWORD>(from);
        at.OffsetHigh = static_cast<DWORD>(from >> 32);
        DWORD got = 0;
        const auto wanted = static_cast<DWORD>(std::min<std::size_t>(limited - done, buffer_size));
        const BOOL read = ReadFile(handle_of(source.handle), bytes + done, wanted, &got, &at);
        if (read && got == 0) SetLastError(0);  // the file ended: no error of the system's
        if (!read && GetLastError() == ERROR_HANDLE_EOF) SetLastError(0);
        if (!read || got == 0) break;
        done += got;
    }
    if (done == limited && limited < size) SetLastError(0);  // the update file ends at its limit
    return done;
}

std::size_t read_once(SourceFile& source, u64 offset, void* buffer, std::size_t size) {
    const u64 wanted_here = within_limit(source, offset, size);
    if (wanted_here == 0) {
        SetLastError(0);
        return 0;
    }
    OVERLAPPED at{};
    const u64 from = source.base + offset;
    at.Offset = static_cast<DWORD>(from);
    at.OffsetHigh = static_cast<DWORD>(from >> 32);
    DWORD got = 0;
    const auto wanted = static_cast<DWORD>(std::min<u64>(wanted_here, 0x7FFFFFFF));
    const BOOL read = ReadFile(handle_of(source.handle), buffer, wanted, &got, &at);
    if (!read && GetLastError() == ERROR_HANDLE_EOF) SetLastError(0);
    return read || GetLastError() == 0 ? got : 0;
}

}  // namespace kp
