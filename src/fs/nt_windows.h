// What the Windows file code shares: the kernel's statuses it tells apart, the sharing
// and access directories are held with, a name relative to a directory's handle, and
// removing a file by its handle.
#pragma once

// After <windows.h> and <winternl.h>, which only the Windows halves include.

#include <string>

namespace kp {

inline constexpr NTSTATUS status_object_name_collision = static_cast<NTSTATUS>(0xC0000035L);
inline constexpr NTSTATUS status_not_a_directory = static_cast<NTSTATUS>(0xC0000103L);
inline constexpr NTSTATUS status_object_name_not_found = static_cast<NTSTATUS>(0xC0000034L);
inline constexpr NTSTATUS status_object_path_not_found = static_cast<NTSTATUS>(0xC000003AL);

inline constexpr NTSTATUS status_too_many_opened_files = static_cast<NTSTATUS>(0xC000011FL);
inline constexpr NTSTATUS status_insufficient_resources = static_cast<NTSTATUS>(0xC000009AL);

inline bool is_not_found(NTSTATUS status) {
    return status == status_object_name_not_found || status == status_object_path_not_found;
}

// Why a relative open failed: for a missing name the C library's words, as the program
// says them on every system; the system's own otherwise.
std::string status_text(NTSTATUS status);

// Directories are held with read and write sharing but not delete sharing: while this
// run holds one, no other process can rename it, or remove it, or anything above it.
inline constexpr ULONG directory_sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
inline constexpr ACCESS_MASK directory_access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE;

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

// Marks the open file to be removed when its last handle closes.
inline void delete_on_close(HANDLE file) {
    FILE_DISPOSITION_INFORMATION disposition{};
    disposition.DoDeleteFile = TRUE;
    IO_STATUS_BLOCK io{};
    NtSetInformationFile(file, &io, &disposition, sizeof disposition, FileDispositionInformation);
}

}  // namespace kp
