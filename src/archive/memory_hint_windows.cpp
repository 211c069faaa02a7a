#include "archive/memory_hint.h"

namespace kp {

// Large pages on Windows need a privilege that a console tool does not hold.
void prepare_large_buffer(void*, std::size_t) {}

}  // namespace kp
