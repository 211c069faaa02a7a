#include <new>

#include "archive/records.h"

namespace kp {

void ChunkRelease::operator()(unsigned char* data) const {
    delete[] data;
}

// Large pages on Windows need a privilege that a console tool does not hold, and a
// 32-bit process has little address space to spare for views: plain memory it is.
ChunkBuffer allocate_chunk(u32 size) {
    return ChunkBuffer(new (std::nothrow) unsigned char[size], ChunkRelease{});
}

// Windows commits and zeroes pages on first touch too, but a console tool's tables are
// small next to what it costs to ask for them in advance there.
void prefault(void*, std::size_t) {}

ChunkBuffer map_file_chunk(const std::filesystem::path&, u32, u32) {
    return ChunkBuffer(nullptr, ChunkRelease{});
}

}  // namespace kp
