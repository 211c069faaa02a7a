// New files on Windows: made under a temporary name relative to their directory's handle,
// renamed once complete, and marked for deletion where they are not.
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
#include "fs/utf16.h"

#include "fs/nt_windows.h"

namespace kp {

namespace {

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

bool create_pending_file(PendingFile& file, FileHandle directory, const std::filesystem::path& leaf, bool) {
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
        if (NT_SUCCESS(status) && guarded) file_being_written = handle;
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
    if (guarded) file_being_written = nullptr;
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
