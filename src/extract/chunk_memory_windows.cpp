#include <new>

#include "extract/chunk_memory.h"

namespace kp {

namespace {

void release_plain(void* base, std::size_t) {
    delete[] static_cast<unsigned char*>(base);
}

}  // namespace

// Large pages on Windows need a privilege that a console tool does not hold, and a
// 32-bit process has little address space to spare for views: plain memory it is.
ChunkBuffer allocate_chunk(u32 size) {
    auto* memory = new (std::nothrow) unsigned char[size];
    return ChunkBuffer(memory, ChunkRelease{release_plain, memory, size});
}

ChunkBuffer map_file_chunk(const std::filesystem::path&, u32, u32) {
    return ChunkBuffer(nullptr, ChunkRelease{});
}

}  // namespace kp
