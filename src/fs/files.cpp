#include "fs/files.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "fs/testing.h"

namespace kp {

namespace {

std::string fixed_suffix;  // a test's, in place of a random one

}  // namespace

void use_temporary_suffix(std::string suffix) {
    fixed_suffix = std::move(suffix);
}

namespace {

// Random bytes drawn from the system some at a time, not in a call for every name; each
// thread has its own.
bool take_random(unsigned char* out, std::size_t size) {
    thread_local unsigned char pool[512];
    thread_local std::size_t left = 0;
    if (left < size) {
        if (!system_random(pool, sizeof pool)) return false;
        left = sizeof pool;
    }
    std::memcpy(out, pool + sizeof pool - left, size);
    left -= size;
    return true;
}

}  // namespace

std::string temporary_suffix() {
    if (!fixed_suffix.empty()) return fixed_suffix;
    unsigned char bytes[8] = {};
    if (!take_random(bytes, sizeof bytes)) {
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
