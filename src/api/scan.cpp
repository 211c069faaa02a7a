// Hunting for update files inside a larger file, for a caller's function per hit.
#include "ops/scan.h"
#include "api/handle.h"
#include "fs/stream.h"
#include "report/reasons.h"

using kp::api::fail;
using kp::api::guarded;
using kp::api::succeed;

namespace kp::api {
namespace {

struct Scan {
    kp_scan_function found = nullptr;
    void* context = nullptr;
    bool stopped = false;  // the caller's function asked to end: nothing more is told
    SourceFile* source = nullptr;
    kp_read_function read = nullptr;  // a caller's stream
    void* read_context = nullptr;
};

void tell(void* context, const FoundUpdate& found) {
    auto& scan = *static_cast<Scan*>(context);
    if (scan.stopped || scan.found == nullptr) return;
    const std::string_view version = record_text(found.hit.version);
    kp_scan_hit hit{};
    hit.struct_size = sizeof hit;
    hit.offset = found.hit.offset;
    hit.end = found.end;
    hit.file_count = found.hit.file_count;
    hit.version = version.data();
    hit.version_length = version.size();
    hit.cut = found.cut ? 1 : 0;
    hit.inside = found.inside ? 1 : 0;
    hit.within = found.within;
    hit.weak = found.hit.weak ? 1 : 0;
    if (scan.found(scan.context, &hit) != 0) scan.stopped = true;
}

// The caller's stream, which ends for the scanner once the caller's function has said stop.
std::int64_t read_for_scan(void* context, unsigned char* buffer, std::size_t size) {
    auto& scan = *static_cast<Scan*>(context);
    if (scan.stopped) return 0;
    return scan.read(scan.read_context, buffer, size);
}

int run(kp_archive* handle, SourceFile& source, Scan& scan, int flags, std::uint64_t* size, const std::string& file) {
    scan.source = &source;
    const ScanSink sink{&scan, nullptr, tell, nullptr};
    const ScanOutcome outcome = scan_source(source, scan_rules((flags & KP_SCAN_WEAK) != 0), sink);
    if (size != nullptr) *size = outcome.size;
    if (outcome.read_failed && !scan.stopped) {
        const int error = read_errno(source);
        const std::string reason = shell_quoted(file) + ": the scan stopped after " + std::to_string(outcome.size) +
                                   " bytes: " + source.read_failure;
        close_source(source);
        return fail(handle, KP_ERROR_SYSTEM, reason, error);
    }
    close_source(source);
    return succeed(handle);
}

int opened(kp_archive* handle, InputKind kind, SourceFile& source, const std::string& text, int error,
           const std::string& file) {
    if (kind == InputKind::unopened) return fail(handle, KP_ERROR_SYSTEM, shell_quoted(file) + ": " + text, error);
    if (kind == InputKind::terminal) {
        close_source(source);
        return fail(handle, KP_ERROR_ARGUMENT, "refusing to read a blob from a terminal");
    }
    return KP_OK;
}

int check(kp_archive* handle, int flags, std::uint64_t* size) {
    if (size != nullptr) *size = 0;
    if ((flags & ~KP_SCAN_WEAK) != 0) return fail(handle, KP_ERROR_ARGUMENT, "a flag the scan does not know");
    return KP_OK;
}

}  // namespace
}  // namespace kp::api

using namespace kp;

extern "C" {

int kp_scan_path(kp_archive* handle, const char* path, int flags, kp_scan_function found, void* context,
                 std::uint64_t* size) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        if (api::check(handle, flags, size) != KP_OK) return KP_ERROR_ARGUMENT;
        if (path == nullptr) return fail(handle, KP_ERROR_ARGUMENT, "no path given");
        const std::string name = std::string_view(path) == "-" ? "./-" : path;
        SourceFile source;
        std::string text;
        errno = 0;
        const InputKind kind = open_input(source, name, {}, false, text);
        if (const int status = api::opened(handle, kind, source, text, errno, path); status != KP_OK) return status;
        api::Scan scan{found, context};
        return api::run(handle, source, scan, flags, size, path);
    });
}

int kp_scan_fd(kp_archive* handle, int fd, int flags, kp_scan_function found, void* context, std::uint64_t* size) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        if (api::check(handle, flags, size) != KP_OK) return KP_ERROR_ARGUMENT;
        SourceFile source;
        std::string text;
        errno = 0;
        const std::string file = "descriptor " + std::to_string(fd);
        const InputKind kind = open_descriptor_input(source, fd, text);
        if (const int status = api::opened(handle, kind, source, text, errno, file); status != KP_OK) return status;
        api::Scan scan{found, context};
        return api::run(handle, source, scan, flags, size, file);
    });
}

int kp_scan_stream(kp_archive* handle, kp_read_function read, void* read_context, int flags, kp_scan_function found,
                   void* context, std::uint64_t* size) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        if (api::check(handle, flags, size) != KP_OK) return KP_ERROR_ARGUMENT;
        if (read == nullptr) return fail(handle, KP_ERROR_ARGUMENT, "no read function given");
        api::Scan scan{found, context};
        scan.read = read;
        scan.read_context = read_context;
        SourceFile source;
        source.stream = true;
        source.length = unknown_length;
        source.reader = {api::read_for_scan, &scan};
        return api::run(handle, source, scan, flags, size, "-");
    });
}

}  // extern "C"
