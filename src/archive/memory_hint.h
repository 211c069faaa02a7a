// Preparing a large buffer that is about to be filled in one go.
#pragma once

#include <cstddef>

namespace kp {

// Asks for huge pages behind [data, data + size), which starts on a huge-page boundary,
// and faults the range in with one call instead of one fault per page. Only a hint:
// where the system offers neither, the buffer is used as it is.
void prepare_large_buffer(void* data, std::size_t size);

}  // namespace kp
