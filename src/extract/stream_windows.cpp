#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>

#include "extract/stream.h"

namespace kp {

InputKind open_input(SourceFile& source, const std::filesystem::path& path, bool standard_input) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (standard_input) {
        // A handle of its own, closed with the source like any other. Read through the
        // handle, never the C runtime's text mode: the bytes arrive as they were sent.
        const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        if (in == nullptr || in == INVALID_HANDLE_VALUE ||
            !DuplicateHandle(GetCurrentProcess(), in, GetCurrentProcess(), &handle, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            handle = INVALID_HANDLE_VALUE;
        }
    } else {
        // Directories do not open this way; the loader says what they are.
        handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return InputKind::file;
        if (GetFileType(handle) == FILE_TYPE_DISK) {
            CloseHandle(handle);
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
