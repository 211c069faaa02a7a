#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "fs/file_path.h"
#include "fs/stream.h"

namespace kp {

namespace {

// What the C library says of a file that would not open, as the program says it on every
// system; the system's own words for what it has no number for.
std::string open_error_text(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return std::strerror(ENOENT);
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return std::strerror(EACCES);
        default:
            SetLastError(code);
            return last_error_text();
    }
}

// Held without delete sharing: while the run reads it, no other process can rename the
// file or remove it. Directories open too, to be told apart from files by their handle.
HANDLE open_file(std::string_view path) {
    return CreateFileW(file_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

InputKind open_input(SourceFile& source, std::string_view path, const RetryUnder& retry, bool directories,
                     std::string& system_text) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (path == "-") {
        // A handle of its own, closed with the source like any other. Read through the
        // handle, never the C runtime's text mode: the bytes arrive as they were sent.
        const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        if (in == nullptr || in == INVALID_HANDLE_VALUE ||
            !DuplicateHandle(GetCurrentProcess(), in, GetCurrentProcess(), &handle, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            handle = INVALID_HANDLE_VALUE;
        }
    } else {
        handle = open_file(path);
        if (handle == INVALID_HANDLE_VALUE && !path.empty()) {
            const DWORD error = GetLastError();  // of the path as given, which the user sees
            handle = open_file(retry.base_directory + std::string(path));
            if (handle == INVALID_HANDLE_VALUE) SetLastError(error);
        }
        if (handle == INVALID_HANDLE_VALUE) {
            system_text = open_error_text(GetLastError());
            return InputKind::unopened;
        }
        BY_HANDLE_FILE_INFORMATION information{};
        if (GetFileType(handle) == FILE_TYPE_DISK) {
            if (!GetFileInformationByHandle(handle, &information)) {
                system_text = last_error_text();
                CloseHandle(handle);
                return InputKind::unopened;
            }
            if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !directories) {
                CloseHandle(handle);
                system_text = std::strerror(EISDIR);
                return InputKind::unopened;
            }
            source.handle = reinterpret_cast<FileHandle>(handle);
            if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return InputKind::directory;
            source.length = u64{information.nFileSizeHigh} << 32 | information.nFileSizeLow;
            return InputKind::file;
        }
    }
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode)) {
        CloseHandle(handle);
        return InputKind::terminal;
    }
    source.handle = handle == INVALID_HANDLE_VALUE ? no_file : reinterpret_cast<FileHandle>(handle);
    source.stream = true;
    source.length = unknown_length;
    return InputKind::stream;
}

InputKind open_descriptor_input(SourceFile& source, int descriptor, std::string& system_text) {
    const intptr_t held = _get_osfhandle(descriptor);
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (held == -1 || !DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(held), GetCurrentProcess(),
                                       &handle, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        system_text = std::strerror(EBADF);
        return InputKind::unopened;
    }
    DWORD mode = 0;
    if (GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode)) {
        CloseHandle(handle);
        return InputKind::terminal;
    }
    source.handle = reinterpret_cast<FileHandle>(handle);
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        source.length = u64{information.nFileSizeHigh} << 32 | information.nFileSizeLow;
        return InputKind::file;
    }
    source.stream = true;
    source.length = unknown_length;
    return InputKind::stream;
}

FileHandle descriptor_handle(int descriptor) {
    const intptr_t held = _get_osfhandle(descriptor);
    return held == -1 ? no_file : static_cast<FileHandle>(held);
}

std::int64_t stream_read(FileHandle in, unsigned char* buffer, std::size_t size) {
    if (in == no_file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    DWORD got = 0;
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(size, DWORD{1} << 20));
    if (!ReadFile(reinterpret_cast<HANDLE>(in), buffer, wanted, &got, nullptr)) {
        // A pipe whose writer has gone has ended.
        if (GetLastError() != ERROR_BROKEN_PIPE && GetLastError() != ERROR_HANDLE_EOF) return -1;
        got = 0;
    }
    if (got == 0) SetLastError(0);
    return got;
}

std::int64_t stream_move(FileHandle, FileHandle, std::size_t) {
    return stream_move_not_offered;
}

}  // namespace kp
