// The handle, opening an update file, and the model it holds.
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

#include "api/handle.h"
#include "fs/stream.h"
#include "ops/names.h"
#include "report/reasons.h"
#include "version.h"

using kp::api::fail;
using kp::api::guarded;
using kp::api::need_open;
using kp::api::succeed;

namespace kp::api {

void reset(kp_archive* handle) {
    if (handle->open || handle->source.handle != no_file) close_source(handle->source);
    handle->source = SourceFile{};
    handle->archive = UpdateArchive{};
    handle->open = false;
    handle->file.clear();
    handle->paths.clear();
    handle->read = nullptr;
    handle->context = nullptr;
}

namespace {

std::int64_t read_through(void* context, unsigned char* buffer, std::size_t size) {
    const auto* handle = static_cast<const kp_archive*>(context);
    return handle->read(handle->context, buffer, size);
}

// Where an update file begins inside what was opened: none, read from its start as it
// always was, or at an offset, ending where its header says.
using Start = std::optional<u64>;

// Loads what was just opened, as `file`.
int load(kp_archive* handle, std::string file, Start start = {}) {
    LoadProblem problem;
    if (start) start_source_at(handle->source, *start);  // a failed read is the load's to tell
    if (load_archive(handle->archive, handle->source, problem) < 0) {
        const int status = problem.kind == LoadProblem::Kind::unreadable ? KP_ERROR_SYSTEM : KP_ERROR_FORMAT;
        const std::string reason = shell_quoted(file) + ": " + load_reason(problem, file);
        const int error = status == KP_ERROR_SYSTEM ? api::read_errno(handle->source) : 0;
        reset(handle);
        return fail(handle, status, reason, error);
    }
    if (start) end_source_at(handle->source, archive_end(handle->archive));
    handle->open = true;
    handle->file = std::move(file);
    return succeed(handle);
}

// Where an input would not open, or is a terminal, which nobody types an update file into.
int opened(kp_archive* handle, InputKind kind, const std::string& text, int error, std::string file, Start start) {
    if (kind == InputKind::unopened) {
        reset(handle);
        return fail(handle, KP_ERROR_SYSTEM, shell_quoted(file) + ": " + text, error);
    }
    return load(handle, std::move(file), start);
}

// Opens the file at `path`: "-" is a file of that name.
int open_path(kp_archive* handle, const char* path, Start start) {
    reset(handle);
    if (path == nullptr) return fail(handle, KP_ERROR_ARGUMENT, "no path given");
    // "-" is a file of that name: a caller who means standard input opens descriptor 0.
    const std::string name = std::string_view(path) == "-" ? "./-" : path;
    std::string text;
    errno = 0;
    InputKind kind = open_input(handle->source, name, {}, false, text);
    const int error = errno;
    if (kind == InputKind::terminal) {
        reset(handle);
        return fail(handle, KP_ERROR_ARGUMENT, "refusing to read an update file from a terminal");
    }
    return opened(handle, kind, text, error, path, start);
}

// Opens the descriptor `fd`, duplicated, as the file `file`.
int open_descriptor(kp_archive* handle, int fd, std::string file, Start start = {}) {
    reset(handle);
    std::string text;
    errno = 0;
    const InputKind kind = open_descriptor_input(handle->source, fd, text);
    if (kind == InputKind::terminal) {
        reset(handle);
        return fail(handle, KP_ERROR_ARGUMENT, "refusing to read an update file from a terminal");
    }
    return opened(handle, kind, text, errno, std::move(file), start);
}

}  // namespace

const EntryRecord* entry_at(const kp_archive* handle, u32 position) {
    if (need_open(handle) != KP_OK) return nullptr;
    if (position >= handle->archive.entries.size()) {
        fail(handle, KP_ERROR_ARGUMENT,
             "no entry at position " + std::to_string(position) + "; the update file holds " +
                 std::to_string(handle->archive.entries.size()));
        return nullptr;
    }
    return &handle->archive.entries[position];
}

bool hand_out(const std::string& text, char** document, std::size_t* length) {
    if (length != nullptr) *length = text.size();
    if (document == nullptr) return true;
    *document = static_cast<char*>(std::malloc(text.size() + 1));
    if (*document == nullptr) return false;
    std::memcpy(*document, text.c_str(), text.size() + 1);
    return true;
}

}  // namespace kp::api

using namespace kp;

extern "C" {

const char* kp_version(void) {
    return KP_VERSION_STRING;
}

int kp_version_number(void) {
    return KP_VERSION_NUMBER;
}

kp_archive* kp_new(void) {
    try {
        return new (std::nothrow) kp_archive;
    } catch (...) {
        return nullptr;
    }
}

void kp_close(kp_archive* handle) {
    if (handle == nullptr) return;
    guarded(nullptr, [&]() -> int {
        if (handle->source.handle != no_file) close_source(handle->source);
        return KP_OK;
    });
    delete handle;
}

const char* kp_reason(const kp_archive* handle) {
    return handle == nullptr ? "no handle" : handle->reason.c_str();
}

int kp_system_error(const kp_archive* handle) {
    return handle == nullptr ? 0 : handle->system_error;
}

void kp_free(void* memory) {
    std::free(memory);
}

int kp_open_path(kp_archive* handle, const char* path) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int { return api::open_path(handle, path, {}); });
}

int kp_open_path_at(kp_archive* handle, const char* path, uint64_t offset) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int { return api::open_path(handle, path, offset); });
}

int kp_open_fd(kp_archive* handle, int fd) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle,
                   [&]() -> int { return api::open_descriptor(handle, fd, "descriptor " + std::to_string(fd)); });
}

int kp_open_fd_at(kp_archive* handle, int fd, uint64_t offset) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(
        handle, [&]() -> int { return api::open_descriptor(handle, fd, "descriptor " + std::to_string(fd), offset); });
}

int kp_open_named_fd(kp_archive* handle, int fd, const char* name) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        if (name == nullptr) {
            api::reset(handle);
            return fail(handle, KP_ERROR_ARGUMENT, "no name given");
        }
        return api::open_descriptor(handle, fd, name);
    });
}

int kp_open_stream(kp_archive* handle, kp_read_function read, void* context) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        api::reset(handle);
        if (read == nullptr) return fail(handle, KP_ERROR_ARGUMENT, "no read function given");
        handle->read = read;
        handle->context = context;
        handle->source.stream = true;
        handle->source.length = unknown_length;
        handle->source.reader = {api::read_through, handle};
        return api::load(handle, "-");
    });
}

int kp_is_stream(const kp_archive* handle) {
    return handle != nullptr && handle->open && handle->source.stream ? 1 : 0;
}

int kp_get_header(const kp_archive* handle, kp_header* header) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    if (header == nullptr) return fail(handle, KP_ERROR_ARGUMENT, "no header given to fill");
    if (need_open(handle) != KP_OK) return KP_ERROR_STATE;
    const UpdateArchive& archive = handle->archive;
    const std::string_view version = record_text(archive.header.record.name);
    kp_header filled{};
    filled.struct_size = header->struct_size;
    filled.version = version.data();
    filled.version_length = version.size();
    filled.file_count = archive.header.record.index;
    filled.data_start = archive.data_start;
    filled.end = archive_end(archive);
    filled.used_size = archive.used_size;
    filled.chunk_sum = archive.chunk_sum;
    for (int i = 0; i < 4; ++i) filled.signatures[i] = archive.header.record.signature[i];
    filled.length = length_known(handle->source) ? handle->source.length : UINT64_MAX;
    filled.cut = length_known(handle->source) && handle->source.length < filled.end ? 1 : 0;
    filled.offset = handle->source.base;
    std::memcpy(header, &filled, std::min(header->struct_size, sizeof filled));
    return succeed(handle);
}

uint32_t kp_entry_count(const kp_archive* handle) {
    return handle == nullptr || !handle->open ? 0 : static_cast<uint32_t>(handle->archive.entries.size());
}

int kp_get_entry(const kp_archive* handle, uint32_t position, kp_entry* entry) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        if (entry == nullptr) return fail(handle, KP_ERROR_ARGUMENT, "no entry given to fill");
        const EntryRecord* record = api::entry_at(handle, position);
        if (record == nullptr) return handle->open ? KP_ERROR_ARGUMENT : KP_ERROR_STATE;
        const std::string_view name = record_text(record->record.name);
        kp_entry filled{};
        filled.struct_size = entry->struct_size;
        filled.position = position;
        filled.index = record->record.index;
        filled.name = name.data();
        filled.name_length = name.size();
        filled.size = record->record.size;
        filled.chunk_size = record->chunk_size;
        filled.offset = record->data_offset;
        for (int i = 0; i < 4; ++i) filled.signatures[i] = record->record.signature[i];
        std::memcpy(entry, &filled, std::min(entry->struct_size, sizeof filled));
        return succeed(handle);
    });
}

int kp_find_entry(const kp_archive* handle, const char* name, uint32_t* position) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        if (name == nullptr || position == nullptr) return fail(handle, KP_ERROR_ARGUMENT, "no name or position given");
        if (need_open(handle) != KP_OK) return KP_ERROR_STATE;
        const auto& entries = handle->archive.entries;
        for (std::size_t i = entries.size(); i-- > 0;) {
            if (record_text(entries[i].record.name) == name) {
                *position = static_cast<uint32_t>(i);
                return succeed(handle);
            }
        }
        return fail(handle, KP_ERROR_NOT_FOUND, unmatched_reason(Unmatched::name, shell_quoted(name)));
    });
}

int kp_entry_path(const kp_archive* handle, uint32_t position, const char** path, size_t* length) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        if (path == nullptr) return fail(handle, KP_ERROR_ARGUMENT, "no path given to fill");
        *path = nullptr;
        if (length != nullptr) *length = 0;
        const EntryRecord* entry = api::entry_at(handle, position);
        if (entry == nullptr) return handle->open ? KP_ERROR_ARGUMENT : KP_ERROR_STATE;
        const std::string_view name = record_text(entry->record.name);
        EntryProblem problem;
        if (name_refused(name, problem))
            return fail(handle, KP_ERROR_FORMAT, shell_quoted(name) + ": " + entry_reason(problem, false));
        if (handle->paths.empty()) handle->paths.resize(handle->archive.entries.size());
        std::string& joined = handle->paths[position];
        if (joined.empty()) joined = joined_parts(name, native_name_rules());  // a safe name has a part
        *path = joined.c_str();
        if (length != nullptr) *length = joined.size();
        return succeed(handle);
    });
}

size_t kp_group_count(const kp_archive* handle) {
    if (handle == nullptr || !handle->open) return 0;
    return handle->archive.groups.size();
}

int kp_get_group(const kp_archive* handle, size_t index, kp_group* out) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        if (out == nullptr) return fail(handle, KP_ERROR_ARGUMENT, "no group given to fill");
        if (need_open(handle) != KP_OK) return KP_ERROR_STATE;
        const auto& groups = handle->archive.groups;
        if (index >= groups.size()) {
            return fail(handle, KP_ERROR_ARGUMENT,
                        "no group " + std::to_string(index) + "; the update file has " + std::to_string(groups.size()));
        }
        const SignatureGroup& group = groups[index];
        kp_group filled{};
        filled.struct_size = out->struct_size;
        filled.signature = group.signature;
        filled.count = group.positions.size();
        filled.positions = group.positions.data();
        std::memcpy(out, &filled, std::min(out->struct_size, sizeof filled));
        return succeed(handle);
    });
}

}  // extern "C"
