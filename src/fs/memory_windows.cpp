#include "fs/memory.h"

namespace kp {

// Windows commits and zeroes pages on first touch too, but a console tool's tables are
// small next to what it costs to ask for them in advance there.
void prefault(void*, std::size_t) {}

}  // namespace kp
