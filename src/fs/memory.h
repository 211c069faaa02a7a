// Memory the loader is about to fill, faulted in ahead of use.
#pragma once

#include <cstddef>

namespace kp {

// Faults in the whole pages of the `size` bytes at `data`, memory about to be filled,
// with one call instead of one fault per page. Changes no byte; does nothing where the
// system offers no such call.
void prefault(void* data, std::size_t size);

}  // namespace kp
