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

// What a copy that reached the source's limit ends with: the failure of a file that ended.
bool ended_at_limit() {
    SetLastError(0);
    return false;
}

}  // namespace

FileHandle standard_output() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out == nullptr ? no_file : file_of(out);
}

bool copy_range(SourceFile& source, u64 offset, u64 size, FileHandle out, const CopyProgress& progress) {
    if (source.stream) return copy_from_stream(source, offset, size, out, progress);
    if (const u64 within = within_limit(source, offset, size); within < size)
        return copy_range(source, offset, within, out, progress) && ended_at_limit();
    offset += source.base;  // from here on, in the file that holds the update file
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
