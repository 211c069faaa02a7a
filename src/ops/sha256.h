// SHA-256 from the system's well-kept implementation: OpenSSL's libcrypto on POSIX,
// BCrypt on Windows.
#pragma once

#include <array>
#include <cstddef>

namespace kp {

using Sha256Digest = std::array<unsigned char, 32>;

// A digest under way; `context` is the library's own.
struct Sha256 {
    void* context = nullptr;
};

// Starts a digest. False when the library would not.
bool sha256_begin(Sha256& digest);
void sha256_add(Sha256& digest, const void* data, std::size_t size);
// Ends it with the digest of everything added; releases what begin took either way.
bool sha256_end(Sha256& digest, Sha256Digest& out);

}  // namespace kp
