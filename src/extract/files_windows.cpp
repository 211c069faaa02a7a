#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <memory>

#include "extract/files.h"
#include "extract/names.h"

namespace kp {

namespace {

HANDLE handle_of(FileHandle file) {
    return reinterpret_cast<HANDLE>(file);
}

FileHandle file_of(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? no_file : reinterpret_cast<FileHandle>(handle);
}

// The bytes go through a buffer of this size: a 32-bit process cannot hold a large
// chunk whole, and a view of one would take as much of its address space.
constexpr DWORD buffer_size = DWORD{1} << 20;

bool write_all(HANDLE out, const unsigned char* data, DWORD size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(out, data, size, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

}  // namespace

NameRules native_name_rules() {
    return NameRules::windows;
}

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

void close_source(SourceFile& source) {
    if (source.handle != no_file) CloseHandle(handle_of(source.handle));
    source.handle = no_file;
}

bool create_pending(NewFile& file, const std::filesystem::path& target) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        file.temporary = target;
        file.temporary += temporary_suffix();
        const HANDLE handle =
            CreateFileW(file.temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            file.handle = file_of(handle);
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    file.temporary.clear();
    return false;
}

bool commit_pending(NewFile& file, const std::filesystem::path& target) {
    const bool closed = CloseHandle(handle_of(file.handle)) != 0;
    file.handle = no_file;
    const bool placed = closed && MoveFileExW(file.temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    if (!placed) DeleteFileW(file.temporary.c_str());
    file.temporary.clear();
    return placed;
}

void discard_pending(NewFile& file) {
    if (file.handle != no_file) CloseHandle(handle_of(file.handle));
    if (!file.temporary.empty()) DeleteFileW(file.temporary.c_str());
    file.handle = no_file;
    file.temporary.clear();
}

FileHandle standard_output() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out == nullptr ? no_file : file_of(out);
}

bool copy_range(const SourceFile& source, u64 offset, u64 size, FileHandle out, const CopyProgress& progress) {
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(buffer_size);
    while (size > 0) {
        const auto wanted = static_cast<DWORD>(std::min<u64>(size, buffer_size));
        // The offset travels with each read, so 64-bit offsets need no separate seek.
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(handle_of(source.handle), buffer.get(), wanted, &got, &at) || got == 0) return false;
        if (!write_all(handle_of(out), buffer.get(), got)) return false;
        offset += got;
        size -= got;
        if (progress.add != nullptr) progress.add(progress.context, got);
    }
    return true;
}

PathKind path_kind(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathKind::missing : PathKind::other;
    }
    // A junction or link is not followed: it could lead anywhere.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PathKind::other;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::directory : PathKind::other;
}

bool make_directory(const std::filesystem::path& path) {
    return CreateDirectoryW(path.c_str(), nullptr) != 0;
}

}  // namespace kp
