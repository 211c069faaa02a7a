// The integer widths the format and the program count in, named once for every room.
// The format's u32 sums wrap at 2^32: they are computed in u32 where it says so.
#pragma once

#include <cstdint>

namespace kp {

using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i32 = std::int32_t;

}  // namespace kp
