// Copying ranges of the update file, in bounded pieces or inside the kernel, to a new
// file or to standard output.
#pragma once

#include "console/console_platform.h"
#include "fs/files.h"
#include "fs/source.h"

namespace kp {

// The process's standard output, to write chunks to.
FileHandle standard_output();

// Told how many more bytes were copied, a piece at a time; `add` may be null.
struct CopyProgress {
    void (*add)(void* context, u64 bytes) = nullptr;
    void* context = nullptr;
};

inline void tell_copied(const CopyProgress& progress, u64 bytes) {
    if (progress.add != nullptr) progress.add(progress.context, bytes);
}

// Appends `size` bytes from `offset` in `source` to `out`, in bounded pieces or inside
// the kernel, never holding the range in memory. False when a read or write failed or
// the source ended early, at its limit too (after the bytes up to there).
bool copy_range(SourceFile& source, u64 offset, u64 size, FileHandle out, const CopyProgress& progress = {});

// The same for a file (no stream) that another process may change as it is read: read,
// inside the kernel or through a buffer, never through a view of its memory, so that a
// file cut short meanwhile ends the copy early instead of failing it as a bad address.
bool copy_file_bytes(SourceFile& source, u64 offset, u64 size, FileHandle out, const CopyProgress& progress = {});

}  // namespace kp
