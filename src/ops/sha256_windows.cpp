#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <memory>

#include "ops/sha256.h"

namespace kp {

namespace {

struct Handles {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

void release(Handles& handles) {
    if (handles.hash != nullptr) BCryptDestroyHash(handles.hash);
    if (handles.algorithm != nullptr) BCryptCloseAlgorithmProvider(handles.algorithm, 0);
}

}  // namespace

bool sha256_begin(Sha256& digest) {
    auto handles = std::make_unique<Handles>();
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handles->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(BCryptCreateHash(handles->algorithm, &handles->hash, nullptr, 0, nullptr, 0, 0))) {
        release(*handles);
        return false;
    }
    digest.context = handles.release();
    return true;
}

void sha256_add(Sha256& digest, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const auto piece = static_cast<ULONG>(size < 0x40000000u ? size : 0x40000000u);
        BCryptHashData(static_cast<Handles*>(digest.context)->hash, const_cast<PUCHAR>(bytes), piece, 0);
        bytes += piece;
        size -= piece;
    }
}

bool sha256_end(Sha256& digest, Sha256Digest& out) {
    std::unique_ptr<Handles> handles(static_cast<Handles*>(digest.context));
    digest.context = nullptr;
    if (handles == nullptr) return false;
    const bool done = BCRYPT_SUCCESS(BCryptFinishHash(handles->hash, out.data(), static_cast<ULONG>(out.size()), 0));
    release(*handles);
    return done;
}

}  // namespace kp
