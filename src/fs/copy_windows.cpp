#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <memory>

#include "fs/copy.h"
#include "fs/stream.h"

namespace kp {

namespace {

// The bytes go through a buffer of this size: a 32-bit process cannot hold a large
// chunk whole, and a view of one would take as much of its address space.
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
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD got = 0;
        const auto wanted = static_cast<DWORD>(std::min<std::size_t>(size - done, buffer_size));
        const BOOL read = ReadFile(handle_of(source.handle), bytes + done, wanted, &got, &at);
        if (read && got == 0) SetLastError(0);  // the file ended: no error of the system's
        if (!read && GetLastError() == ERROR_HANDLE_EOF) SetLastError(0);
        if (!read || got == 0) break;
        done += got;
    }
    return done;
}

std::size_t read_once(SourceFile& source, u64 offset, void* buffer, std::size_t size) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(size, 0x7FFFFFFF));
    const BOOL read = ReadFile(handle_of(source.handle), buffer, wanted, &got, &at);
    if (!read && GetLastError() == ERROR_HANDLE_EOF) SetLastError(0);
    return read || GetLastError() == 0 ? got : 0;
}

FileHandle standard_output() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out == nullptr ? no_file : file_of(out);
}

bool copy_range(SourceFile& source, u64 offset, u64 size, FileHandle out, const CopyProgress& progress) {
    if (source.stream) return copy_from_stream(source, offset, size, out, progress);
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(buffer_size);
    while (size > 0) {
        const auto wanted = static_cast<DWORD>(std::min<u64>(size, buffer_size));
        // The offset travels with each read, so 64-bit offsets need no separate seek.
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(handle_of(source.handle), buffer.get(), wanted, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) SetLastError(0);  // the file ended early
            return false;
        }
        if (got == 0) {
            SetLastError(0);
            return false;
        }
        if (!write_all(out, buffer.get(), got)) return false;
        offset += got;
        size -= got;
        tell_copied(progress, got);
    }
    return true;
}

bool copy_file_bytes(SourceFile& source, u64 offset, u64 size, FileHandle out, const CopyProgress& progress) {
    return copy_range(source, offset, size, out, progress);  // always through a buffer here
}

}  // namespace kp
