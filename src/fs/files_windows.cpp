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
#include "fs/files.h"

namespace kp {

namespace {

constexpr NTSTATUS status_object_name_collision = static_cast<NTSTATUS>(0xC0000035L);
constexpr NTSTATUS status_not_a_directory = static_cast<NTSTATUS>(0xC0000103L);
constexpr NTSTATUS status_object_name_not_found = static_cast<NTSTATUS>(0xC0000034L);
constexpr NTSTATUS status_object_path_not_found = static_cast<NTSTATUS>(0xC000003AL);

constexpr NTSTATUS status_too_many_opened_files = static_cast<NTSTATUS>(0xC000011FL);
constexpr NTSTATUS status_insufficient_resources = static_cast<NTSTATUS>(0xC000009AL);

bool is_not_found(NTSTATUS status) {
    return status == status_object_name_not_found || status == status_object_path_not_found;
}

// Why a relative open failed: for a missing name the C library's words, as the program
// says them on every system; the system's own otherwise.
std::string status_text(NTSTATUS status) {
    if (is_not_found(status)) return std::strerror(ENOENT);
    SetLastError(RtlNtStatusToDosError(status));
    return last_error_text();
}

// Directories are held with read and write sharing but not delete sharing: while this
// run holds one, no other process can rename it, or remove it, or anything above it.
constexpr ULONG directory_sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ACCESS_MASK directory_access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE;

// `name` relative to the directory `root`, as the kernel takes it: only that one part,
// looked up without regard to case as Windows names are.
struct RelativeName {
    UNICODE_STRING text{};
    OBJECT_ATTRIBUTES attributes{};
    RelativeName(HANDLE root, const std::wstring& name) {
        text.Buffer = const_cast<PWSTR>(name.c_str());
        text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
        text.MaximumLength = text.Length;
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
    }
};

bool is_reparse_point(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    return !GetFileInformationByHandle(handle, &information) ||
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Renames the open file `file` to `name` inside the directory `directory`: relative to
// that directory's handle, so no path is looked up again.
NTSTATUS rename_relative(HANDLE file, HANDLE directory, const std::wstring& name, bool replace) {
    const std::size_t bytes = sizeof(FILE_RENAME_INFORMATION) + name.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(bytes, 0);
    auto* information = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    information->ReplaceIfExists = replace ? TRUE : FALSE;
    information->RootDirectory = directory;
    information->FileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
    std::memcpy(information->FileName, name.data(), name.size() * sizeof(wchar_t));
    IO_STATUS_BLOCK io{};
    return NtSetInformationFile(file, &io, information, static_cast<ULONG>(bytes), FileRenameInformation);
}

// Marks the open file to be removed when its last handle closes.
void delete_on_close(HANDLE file) {
    FILE_DISPOSITION_INFORMATION disposition{};
    disposition.DoDeleteFile = TRUE;
    IO_STATUS_BLOCK io{};
    NtSetInformationFile(file, &io, &disposition, sizeof disposition, FileDispositionInformation);
}

// The file being written, for the console's control handler, which runs on a thread of
// its own: it takes the lock, so the file is never half set up when it looks.
CRITICAL_SECTION pending_lock;
HANDLE file_being_written = nullptr;
bool guarded = false;

BOOL WINAPI remove_pending_and_end(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    EnterCriticalSection(&pending_lock);
    if (file_being_written != nullptr) delete_on_close(file_being_written);
    console_erase_drawn_line();
    // What the system's own handler does; the handle closes, and the file goes, with it.
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

void set_pending(HANDLE file) {
    if (!guarded) return;
    EnterCriticalSection(&pending_lock);
    file_being_written = file;
    LeaveCriticalSection(&pending_lock);
}

}  // namespace

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
    if (length > 0) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
        shown.resize(static_cast<std::size_t>(size));
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), shown.data(), size, nullptr, nullptr);
    }
    LocalFree(text);
    // The system's sentences end in a full stop and a line break; the messages here do not.
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r' || shown.back() == '.')) shown.pop_back();
    return shown.empty() ? "error " + std::to_string(code) : shown;
}

void use_portable_file_calls(bool) {}

void use_proc_links_only(bool) {}

bool portable_file_calls() {
    return true;  // Windows has only the portable ways
}

FileHandle open_target_directory(const std::filesystem::path& path) {
    const HANDLE handle = CreateFileW(path.empty() ? L"." : path.c_str(), directory_access, directory_sharing, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
                items.push_back({std::filesystem::path(name), (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                                                  (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0});
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
    measured.id = {information.dwVolumeSerialNumber,
                   std::uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow};
    CloseHandle(handle);
    return measured;
}

FileHandle open_temporary_directory(std::string& text) {
    wchar_t path[MAX_PATH + 2];
    const DWORD length = GetTempPathW(MAX_PATH + 2, path);
    const HANDLE handle = length == 0 || length > MAX_PATH + 1
                              ? INVALID_HANDLE_VALUE
                              : CreateFileW(path, directory_access, directory_sharing, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) text = "the temporary directory: " + last_error_text();
    return file_of(handle);
}

bool create_pending_file(PendingFile& file, FileHandle directory, const std::filesystem::path& leaf) {
    file.directory = directory;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path temporary = leaf;
        temporary += temporary_suffix();
        RelativeName relative(handle_of(directory), temporary.native());
        IO_STATUS_BLOCK io{};
        HANDLE handle = nullptr;
        // Under the lock, so that an interruption finds the file either not yet made or
        // known to the handler.
        if (guarded) EnterCriticalSection(&pending_lock);
        const NTSTATUS status = NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | DELETE | SYNCHRONIZE,
                                             &relative.attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_CREATE,
                                             FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        if (NT_SUCCESS(status)) file_being_written = handle;
        if (guarded) LeaveCriticalSection(&pending_lock);
        if (NT_SUCCESS(status)) {
            file.handle = file_of(handle);
            file.temporary = temporary;
            return true;
        }
        if (status != status_object_name_collision) {
            SetLastError(RtlNtStatusToDosError(status));
            break;
        }
    }
    return false;
}

Placed commit_pending_file(PendingFile& file, const std::filesystem::path& leaf, Existing existing) {
    const HANDLE handle = handle_of(file.handle);
    // Named and forgotten under the lock: an interruption between the two would mark for
    // deletion the file that has just replaced the old one, and neither would survive.
    if (guarded) EnterCriticalSection(&pending_lock);
    const NTSTATUS status =
        rename_relative(handle, handle_of(file.directory), leaf.native(), existing == Existing::replace);
    Placed placed = Placed::written;
    if (!NT_SUCCESS(status)) {
        placed =
            status == status_object_name_collision && existing != Existing::replace ? Placed::kept : Placed::failed;
        delete_on_close(handle);
    }
    file_being_written = nullptr;
    if (guarded) LeaveCriticalSection(&pending_lock);
    if (!CloseHandle(handle) && placed == Placed::written) placed = Placed::failed;
    file.handle = no_file;
    file.temporary.clear();
    return placed;
}

void discard_pending_file(PendingFile& file) {
    if (file.handle != no_file) {
        delete_on_close(handle_of(file.handle));
        set_pending(nullptr);
        CloseHandle(handle_of(file.handle));
    }
    file.handle = no_file;
    file.temporary.clear();
}

void guard_interruptions() {
    if (guarded) return;
    InitializeCriticalSection(&pending_lock);
    file_being_written = nullptr;
    guarded = SetConsoleCtrlHandler(remove_pending_and_end, TRUE) != 0;
    if (!guarded) DeleteCriticalSection(&pending_lock);
}

void unguard_interruptions() {
    if (!guarded) return;
    SetConsoleCtrlHandler(remove_pending_and_end, FALSE);
    DeleteCriticalSection(&pending_lock);
    guarded = false;
}

}  // namespace kp
