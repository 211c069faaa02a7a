// Memory for an entry's chunk: fresh, or a view of the update file itself.
#pragma once

#include <filesystem>

#include "archive/records.h"

namespace kp {

// Uninitialised memory for a chunk of `size` bytes (a valid buffer also for 0); null
// when it cannot be had. Large chunks are placed on huge pages where the system
// offers them, faulted in with one call instead of one fault per page.
ChunkBuffer allocate_chunk(u32 size);

// A read-only view of `size` bytes at `offset` in the file at `path`, for chunks large
// enough that reading them into fresh memory would cost more than the copy itself.
// Null when the range does not lie wholly inside the file or the platform offers no
// such view; the caller then reads the chunk. Only the kernel may touch the view's
// bytes (by writing them out), so a file cut short meanwhile makes that write fail.
ChunkBuffer map_file_chunk(const std::filesystem::path& path, u32 offset, u32 size);

}  // namespace kp
