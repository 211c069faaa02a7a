#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

#include "fs/files.h"

namespace kp {

namespace {

std::string fixed_suffix;  // a test's, in place of a random one

}  // namespace

void use_temporary_suffix(std::string suffix) {
    fixed_suffix = std::move(suffix);
}

std::string temporary_suffix() {
    if (!fixed_suffix.empty()) return fixed_suffix;
    unsigned char bytes[8] = {};
    if (!system_random(bytes, sizeof bytes)) {
        // No random source at all: the clock and a count still keep one run's names apart.
        static std::uint64_t count = 0;
        const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        const std::uint64_t mixed = (now ^ (++count << 48)) * 0x9e3779b97f4a7c15ull;
        for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(mixed >> (8 * i));
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string suffix = ".kpupdate-";
    for (const unsigned char byte : bytes) {
        suffix += digits[byte >> 4];
        suffix += digits[byte & 0xF];
    }
    return suffix;
}

}  // namespace kp
