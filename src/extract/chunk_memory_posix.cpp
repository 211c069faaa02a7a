#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#include "extract/chunk_memory.h"

namespace kp {

namespace {

constexpr std::size_t huge_page_size = std::size_t{2} << 20;
// Below this, reading into a small buffer is as cheap as setting up a view.
constexpr u32 smallest_mapped_chunk = 64 * 1024;

void release_plain(void* base, std::size_t) {
    delete[] static_cast<unsigned char*>(base);
}

void release_aligned(void* base, std::size_t) {
    ::operator delete[](base, std::align_val_t{huge_page_size});
}

void release_view(void* base, std::size_t length) {
    ::munmap(base, length);
}

}  // namespace

ChunkBuffer allocate_chunk(u32 size) {
    if (size < huge_page_size) {
        auto* memory = new (std::nothrow) unsigned char[size];
        return ChunkBuffer(memory, ChunkRelease{release_plain, memory, size});
    }
    // Through the ordinary allocator, so memory limits and sanitizers still see it.
    void* memory = ::operator new[](size, std::align_val_t{huge_page_size}, std::nothrow);
    if (memory != nullptr) {
#ifdef MADV_HUGEPAGE
        ::madvise(memory, size, MADV_HUGEPAGE);
#endif
        // Populating at once also spares the synchronous compaction that faulting in
        // huge pages one by one can run into when the page cache has fragmented memory.
#ifdef MADV_POPULATE_WRITE
        ::madvise(memory, size, MADV_POPULATE_WRITE);
#endif
    }
    return ChunkBuffer(static_cast<unsigned char*>(memory), ChunkRelease{release_aligned, memory, size});
}

ChunkBuffer map_file_chunk(const std::filesystem::path& path, u32 offset, u32 size) {
    if (size < smallest_mapped_chunk) return ChunkBuffer(nullptr, ChunkRelease{});
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ChunkBuffer(nullptr, ChunkRelease{});
    struct stat status {};
    void* view = MAP_FAILED;
    const auto page = static_cast<u32>(::sysconf(_SC_PAGESIZE));
    const u32 start = offset - offset % page;  // views begin on a page boundary
    const std::size_t length = std::size_t{offset - start} + size;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        static_cast<std::uint64_t>(offset) + size <= static_cast<std::uint64_t>(status.st_size)) {
        view = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, static_cast<off_t>(start));
    }
    ::close(fd);
    if (view == MAP_FAILED) return ChunkBuffer(nullptr, ChunkRelease{});
    return ChunkBuffer(static_cast<unsigned char*>(view) + (offset - start), ChunkRelease{release_view, view, length});
}

}  // namespace kp
