#include <sys/mman.h>

#include "archive/memory_hint.h"

namespace kp {

void prepare_large_buffer(void* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
    ::madvise(data, size, MADV_HUGEPAGE);
#endif
    // Populating at once also spares the synchronous compaction that faulting in huge
    // pages one by one can run into when memory is fragmented by the page cache.
#ifdef MADV_POPULATE_WRITE
    ::madvise(data, size, MADV_POPULATE_WRITE);
#endif
    (void)data;
    (void)size;
}

}  // namespace kp
