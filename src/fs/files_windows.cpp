#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winternl.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "console/console_platform.h"
#include "fs/file_path.h"
#include "fs/files.h"
#include "fs/utf16.h"

#include "fs/nt_windows.h"

namespace kp {

namespace {

bool is_reparse_point(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    return !GetFileInformationByHandle(handle, &information) ||
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

FileId id_from(const BY_HANDLE_FILE_INFORMATION& information) {
    return {information.dwVolumeSerialNumber,
            std::uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow};
}

}  // namespace

std::string status_text(NTSTATUS status) {
    if (is_not_found(status)) return std::strerror(ENOENT);
    SetLastError(RtlNtStatusToDosError(status));
    return last_error_text();
}

bool system_random(void* data, std::size_t size) {
    return BCRYPT_SUCCESS(
        BCryptGenRandom(nullptr, static_cast<PUCHAR>(data), static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

std::string last_error_text() {
    const DWORD code = GetLastError();
    if (code == 0) return {};
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string shown;
    if (length > 0) shown = utf16_to_utf8(text, text + length);
    LocalFree(text);
    // The system's sentences end in a full stop and a line break; the messages here do not.
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r' || shown.back() == '.')) shown.pop_back();
    return shown.empty() ? "error " + std::to_string(code) : shown;
}

FileHandle open_target_directory(const std::filesystem::path& path) {
    const HANDLE handle = CreateFileW(path.empty() ? L"." : path.c_str(), directory_access, directory_sharing, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    // Listing a directory is reading a file's data to the system: a file opens too, and is
    // no directory to write under, as POSIX's O_DIRECTORY refuses it.
    BY_HANDLE_FILE_INFORMATION information{};
    if (handle != INVALID_HANDLE_VALUE && (!GetFileInformationByHandle(handle, &information) ||
                                           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)) {
        CloseHandle(handle);
        SetLastError(ERROR_DIRECTORY);
        return no_file;
    }
    return file_of(handle);
}

FileHandle open_subdirectory(FileHandle parent, const std::filesystem::path& part, bool create, bool follow_links,
                             DirectoryError& error) {
    const std::wstring name = part.native();
    RelativeName relative(handle_of(parent), name);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const ULONG options =
        FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | (follow_links ? 0 : FILE_OPEN_REPARSE_POINT);
    const NTSTATUS status =
        NtCreateFile(&handle, directory_access, &relative.attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                     directory_sharing, create ? FILE_OPEN_IF : FILE_OPEN, options, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        error.not_a_directory = status == status_not_a_directory || status == status_object_name_collision;
        error.missing = is_not_found(status);
        error.out_of_handles = status == status_too_many_opened_files || status == status_insufficient_resources;
        error.text = status_text(status);
        return no_file;
    }
    // A junction or link, opened as itself: it could lead anywhere.
    if (!follow_links && is_reparse_point(handle)) {
        CloseHandle(handle);
        error.not_a_directory = true;
        return no_file;
    }
    return file_of(handle);
}

void close_directory(FileHandle directory) {
    if (directory != no_file) CloseHandle(handle_of(directory));
}

Leaf open_leaf(FileHandle directory, const std::filesystem::path& leaf, FileHandle& opened, std::uint64_t& length) {
    RelativeName relative(handle_of(directory), leaf.native());
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    // The reparse point itself where there is one, and no other process's delete: what was
    // looked at is what is read.
    const NTSTATUS status =
        NtCreateFile(&handle, FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &relative.attributes, &io, nullptr,
                     FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                     FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        if (is_not_found(status)) return Leaf::missing;
        SetLastError(RtlNtStatusToDosError(status));  // for last_error_text
        return Leaf::unreadable;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        CloseHandle(handle);
        return Leaf::other;
    }
    opened = file_of(handle);
    length = std::uint64_t{information.nFileSizeHigh} << 32 | information.nFileSizeLow;
    return Leaf::regular;
}

bool stamp_of(FileHandle file, FileStamp& stamp) {
    FILE_BASIC_INFO basic{};
    LARGE_INTEGER size{};
    if (!GetFileInformationByHandleEx(handle_of(file), FileBasicInfo, &basic, sizeof basic) ||
        !GetFileSizeEx(handle_of(file), &size)) {
        return false;
    }
    stamp.size = size.QuadPart > 0 ? static_cast<std::uint64_t>(size.QuadPart) : 0;
    stamp.modified = basic.LastWriteTime.QuadPart;
    stamp.changed = basic.ChangeTime.QuadPart;
    return true;
}

std::size_t open_files_limit() {
    return std::size_t{1} << 24;  // handles are limited only by the memory behind them
}

bool read_directory(FileHandle directory, std::vector<DirectoryItem>& items) {
    // Records of variable length, each at an 8-byte boundary.
    std::vector<std::uint64_t> buffer(8192);
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!GetFileInformationByHandleEx(handle_of(directory), kind, buffer.data(),
                                          static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)))) {
            return GetLastError() == ERROR_NO_MORE_FILES;
        }
        kind = FileIdBothDirectoryInfo;
        const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const auto* item = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes);
            const std::wstring name(item->FileName, item->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                const DWORD attributes = item->FileAttributes;
                const bool plain = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
                const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                const std::filesystem::path native(name);
                items.push_back({path_text(native), directory ? native : std::filesystem::path(), directory && plain,
                                 !directory && plain});
            }
            if (item->NextEntryOffset == 0) break;
            bytes += item->NextEntryOffset;
        }
    }
}

LeafStatus measure_leaf(FileHandle directory, const std::filesystem::path& leaf) {
    LeafStatus measured;
    RelativeName relative(handle_of(directory), leaf.native());
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    // Its attributes only, of the reparse point itself where there is one: nothing is
    // read, and no other process is kept from anything.
    const NTSTATUS status =
        NtCreateFile(&handle, FILE_READ_ATTRIBUTES | SYNCHRONIZE, &relative.attributes, &io, nullptr,
                     FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                     FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        measured.kind = is_not_found(status) ? LeafKind::missing : LeafKind::unreadable;
        measured.text = status_text(status);
        return measured;
    }
    measured = measure_open(file_of(handle));
    CloseHandle(handle);
    return measured;
}

LeafStatus measure_open(FileHandle file) {
    LeafStatus measured;
    const HANDLE handle = handle_of(file);
    BY_HANDLE_FILE_INFORMATION information{};
    const DWORD type = GetFileType(handle);
    if (!GetFileInformationByHandle(handle, &information)) {
        measured.kind = type == FILE_TYPE_CHAR   ? LeafKind::device
                        : type == FILE_TYPE_PIPE ? LeafKind::fifo
                                                 : LeafKind::unreadable;
        measured.text = last_error_text();
    } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        measured.kind = LeafKind::link;
    } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        measured.kind = LeafKind::directory;
    } else {
        measured.kind = type == FILE_TYPE_DISK ? LeafKind::regular : LeafKind::other;
        measured.size = std::uint64_t{information.nFileSizeHigh} << 32 | information.nFileSizeLow;
    }
    measured.id = id_from(information);
    if (measured.kind == LeafKind::regular && !stamp_of(file, measured.stamp)) {
        measured.kind = LeafKind::unreadable;
        measured.text = last_error_text();
    }
    return measured;
}

bool set_write_position(FileHandle file, std::uint64_t offset) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(handle_of(file), position, nullptr, FILE_BEGIN) != 0;
}

FileHandle open_measured(FileHandle directory, const char* leaf) {
    // A handle's type is known without a call to the file system, so this looks first.
    FileHandle opened = no_file;
    std::uint64_t length = 0;
    return open_leaf(directory, file_path(leaf), opened, length) == Leaf::regular ? opened : no_file;
}

ChangeWatch start_change_watch() {
    return {};  // two looks at each file: no clock here is known to stamp every change
}

bool may_read_first(ChangeWatch&, FileHandle) {
    return false;
}

bool unchanged_since(ChangeWatch&, FileHandle, const LeafStatus&) {
    return false;
}

bool is_as_measured(FileHandle file, const FileId& id, const FileStamp& stamp) {
    BY_HANDLE_FILE_INFORMATION information{};
    FileStamp now;
    return GetFileInformationByHandle(handle_of(file), &information) &&
           (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
           id_from(information) == id && stamp_of(file, now) && now == stamp;
}

}  // namespace kp
