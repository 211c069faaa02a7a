// New files on Windows: made under a temporary name relative to their directory's handle,
// renamed once complete, and marked for deletion where they are not.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <string>
#include <vector>

#include "fs/interruptions.h"
#include "fs/new_files.h"
#include "fs/testing.h"

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

}  // namespace

void use_portable_file_calls(bool) {}

void use_proc_links_only(bool) {}

void use_exchange_to_replace(bool) {}

void raise_inside_file_making(int) {}

bool portable_file_calls() {
    return true;  // Windows has only the portable ways
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

bool create_pending_file(PendingFile& file, FileHandle directory, const std::filesystem::path& leaf, bool) {
    file.directory = directory;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path temporary = leaf;
        temporary += temporary_suffix();
        RelativeName relative(handle_of(directory), temporary.native());
        IO_STATUS_BLOCK io{};
        HANDLE handle = nullptr;
        NTSTATUS status = 0;
        {
            // An interruption finds the file either not yet made or known to the handler.
            const InterruptionsHeldOver held;
            status = NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | DELETE | SYNCHRONIZE, &relative.attributes,
                                  &io, nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_CREATE,
                                  FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
            if (NT_SUCCESS(status)) remember_new_file(directory, {}, file_of(handle));
        }
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
    Placed placed = Placed::written;
    {
        // Named and forgotten in one step: an interruption between the two would mark for
        // deletion the file that has just replaced the old one, and neither would survive.
        const InterruptionsHeldOver held;
        const NTSTATUS status =
            rename_relative(handle, handle_of(file.directory), leaf.native(), existing == Existing::replace);
        if (!NT_SUCCESS(status)) {
            placed =
                status == status_object_name_collision && existing != Existing::replace ? Placed::kept : Placed::failed;
            delete_on_close(handle);
        }
        forget_new_file();
    }
    if (!CloseHandle(handle) && placed == Placed::written) placed = Placed::failed;
    file.handle = no_file;
    file.temporary.clear();
    return placed;
}

void discard_pending_file(PendingFile& file) {
    if (file.handle != no_file) {
        delete_on_close(handle_of(file.handle));
        forget_new_file();
        CloseHandle(handle_of(file.handle));
    }
    file.handle = no_file;
    file.temporary.clear();
}

}  // namespace kp
