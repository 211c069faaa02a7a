// Entries' bytes: whether they can be read, read into a buffer, written to a descriptor,
// digested; each asks the one unit that knows, and says its answer as the command line does.
#include <cstring>

#include "api/handle.h"
#include "fs/stream.h"
#include "ops/digests.h"
#include "ops/entry_bytes.h"
#include "report/reasons.h"

using kp::api::fail;
using kp::api::guarded;
using kp::api::succeed;

namespace kp::api {

namespace {

// The call's status and reason for what stopped the entry's bytes; success where nothing did.
int bytes_failed(const kp_archive* handle, const EntryRecord& entry, bool padded, const BytesProblem& problem) {
    const std::string name = shell_quoted(record_text(entry.record.name)) + ": ";
    const int error = problem.error != 0 ? problem.error : EIO;
    EntryProblem told;
    tell_problem(problem, told);
    switch (problem.kind) {
        case BytesProblem::Kind::none:
            break;
        case BytesProblem::Kind::outside_file:
            return fail(handle, KP_ERROR_FORMAT, name + entry_reason(told, padded));
        case BytesProblem::Kind::passed:
            return fail(handle, KP_ERROR_STATE, name + passed_reason);
        case BytesProblem::Kind::read_failed:
            return fail(handle, KP_ERROR_SYSTEM, name + "reading it failed: " + problem.text, error);
        case BytesProblem::Kind::copy_failed:
        case BytesProblem::Kind::digest_failed:
            return fail(handle, KP_ERROR_SYSTEM, name + entry_reason(told, padded), error);
    }
    return succeed(handle);
}

}  // namespace

}  // namespace kp::api

using namespace kp;

extern "C" {

int kp_read(kp_archive* handle, uint32_t position, int padded, uint64_t offset, void* buffer, size_t size,
            size_t* got) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        if (got == nullptr || (buffer == nullptr && size != 0))
            return fail(handle, KP_ERROR_ARGUMENT, "no buffer given");
        *got = 0;
        const EntryRecord* entry = api::entry_at(handle, position);
        if (entry == nullptr) return handle->open ? KP_ERROR_ARGUMENT : KP_ERROR_STATE;
        BytesProblem problem;
        *got = read_bytes(handle->source, written_bytes(*entry, padded != 0), offset, buffer, size, problem);
        return api::bytes_failed(handle, *entry, padded != 0, problem);
    });
}

int kp_read_to_fd(kp_archive* handle, uint32_t position, int padded, int fd) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        const EntryRecord* entry = api::entry_at(handle, position);
        if (entry == nullptr) return handle->open ? KP_ERROR_ARGUMENT : KP_ERROR_STATE;
        const FileHandle out = descriptor_handle(fd);
        if (out == no_file) return fail(handle, KP_ERROR_ARGUMENT, "descriptor " + std::to_string(fd) + " is not open");
        const BytesProblem problem = copy_bytes(handle->source, written_bytes(*entry, padded != 0), out);
        return api::bytes_failed(handle, *entry, padded != 0, problem);
    });
}

int kp_sha256(kp_archive* handle, uint32_t position, int padded, char hex[65]) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        if (hex == nullptr) return fail(handle, KP_ERROR_ARGUMENT, "no room for the digest given");
        const EntryRecord* entry = api::entry_at(handle, position);
        if (entry == nullptr) return handle->open ? KP_ERROR_ARGUMENT : KP_ERROR_STATE;
        Sha256Digest digest;
        const BytesProblem problem = digest_bytes(handle->source, written_bytes(*entry, padded != 0), digest);
        if (problem.kind == BytesProblem::Kind::none) std::memcpy(hex, hex_of(digest).c_str(), 65);
        return api::bytes_failed(handle, *entry, padded != 0, problem);
    });
}

int kp_check_entry(kp_archive* handle, uint32_t position, int padded) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        const EntryRecord* entry = api::entry_at(handle, position);
        if (entry == nullptr) return handle->open ? KP_ERROR_ARGUMENT : KP_ERROR_STATE;
        const BytesProblem problem = bytes_problem(handle->source, written_bytes(*entry, padded != 0));
        return api::bytes_failed(handle, *entry, padded != 0, problem);
    });
}

}  // extern "C"
