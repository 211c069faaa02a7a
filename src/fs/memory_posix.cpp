#include "fs/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace kp {

void prefault(void* data, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::size_t before = (page - start % page) % page;  // up to the first whole page
    const std::size_t after = (start + size) % page;          // past the last whole page
    if (size > before + after) {
        ::madvise(static_cast<char*>(data) + before, size - before - after, MADV_POPULATE_WRITE);
    }
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace kp
