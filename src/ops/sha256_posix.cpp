// The one-shot SHA-256 functions rather than the EVP layer: they bring the digest and
// its CPU-specific code alone, where EVP brings OpenSSL's whole provider machinery (4 MiB
// more of a static binary, and dlopen) for the same speed.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <memory>

#include "ops/sha256.h"

namespace kp {

bool sha256_begin(Sha256& digest) {
    auto context = std::make_unique<SHA256_CTX>();
    if (SHA256_Init(context.get()) != 1) return false;
    digest.context = context.release();
    return true;
}

void sha256_add(Sha256& digest, const void* data, std::size_t size) {
    SHA256_Update(static_cast<SHA256_CTX*>(digest.context), data, size);
}

bool sha256_end(Sha256& digest, Sha256Digest& out) {
    std::unique_ptr<SHA256_CTX> context(static_cast<SHA256_CTX*>(digest.context));
    digest.context = nullptr;
    return context != nullptr && SHA256_Final(out.data(), context.get()) == 1;
}

}  // namespace kp
