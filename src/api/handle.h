// What a kp_archive handle holds: one loaded update file, open for every call after,
// and what the last call said. Nothing is shared between handles.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "archive/update_archive.h"
#include "kpupdate.h"

struct kp_archive {
    kp::UpdateArchive archive;
    kp::SourceFile source;
    bool open = false;
    std::string file;  // as the caller named it, for the documents and the reasons
    // What the last call said: no part of the update file, so that a call that only looks
    // (a getter, on a const handle) can still say why it failed.
    mutable std::string reason;
    mutable int system_error = 0;
    kp_read_function read = nullptr;  // a caller's stream
    void* context = nullptr;
    // Where extraction writes each entry, by position, made at the first kp_entry_path
    // and kept while the file stays open, which callers' pointers need; "" where refused.
    mutable std::vector<std::string> paths;
};

namespace kp::api {

// The call succeeded: nothing to say.
inline int succeed(const kp_archive* handle, int status = KP_OK) {
    handle->reason.clear();
    handle->system_error = 0;
    return status;
}

// The call failed with `status`, for `reason`; `system_error` where the system's errno says why.
inline int fail(const kp_archive* handle, int status, std::string reason, int system_error = 0) {
    handle->reason = std::move(reason);
    handle->system_error = system_error;
    return status;
}

// KP_OK where the handle has an update file open, else why not.
inline int need_open(const kp_archive* handle) {
    return handle->open ? KP_OK : fail(handle, KP_ERROR_STATE, "no update file is open");
}

// The errno behind a failed read of the source: the system's, or a caller's read function's.
inline int read_errno(const SourceFile& source) {
    return source.read_error != 0 ? source.read_error : EIO;
}

// The reason a stream gives for the bytes it has passed, which it cannot give again.
inline constexpr const char* passed_reason = "a stream has passed these bytes, and is read only once";

// Runs the body of an entry point, so that no C++ exception leaves the library: one that
// escapes is the call's failure, said like any other. A handle that is null takes none.
template <typename Body>
int guarded(const kp_archive* handle, Body&& body) noexcept {
    int status = KP_ERROR_FAILED;
    try {
        return body();
    } catch (const std::bad_alloc&) {
        status = KP_ERROR_SYSTEM;
    } catch (...) {
    }
    if (handle != nullptr) {
        try {
            if (status == KP_ERROR_SYSTEM) return fail(handle, status, "out of memory", ENOMEM);
            return fail(handle, status, "the library failed unexpectedly; nothing more is known");
        } catch (...) {
            handle->reason.clear();  // a reason that cannot be held is none, never a stale one
            handle->system_error = status == KP_ERROR_SYSTEM ? ENOMEM : 0;
        }
    }
    return status;
}

// Closes what the handle holds: nothing is open after.
void reset(kp_archive* handle);

// The entry at `position`, checked against the directory; null (with why) past it.
const EntryRecord* entry_at(const kp_archive* handle, u32 position);

// A caller's structure, as far as it and this library know its fields.
template <typename Options>
Options copy_of(const Options* given) {
    Options options{};
    if (given != nullptr) std::memcpy(&options, given, std::min(given->struct_size, sizeof options));
    return options;
}

// A caller's list of C strings, its null entries left out.
inline std::vector<std::string> texts(const char* const* list, std::size_t count) {
    std::vector<std::string> result;
    for (std::size_t i = 0; list != nullptr && i < count; ++i) {
        if (list[i] != nullptr) result.emplace_back(list[i]);
    }
    return result;
}

// Adds one line to a reason of several, one a line.
inline void add_line(std::string& lines, const std::string& line) {
    if (!lines.empty()) lines += '\n';
    lines += line;
}

// A NUL-terminated copy of `text` the caller frees with kp_free; false where memory ran out.
bool hand_out(const std::string& text, char** document, std::size_t* length);

}  // namespace kp::api
