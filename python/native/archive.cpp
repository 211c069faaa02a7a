// The handle's own calls: opening a file by path or descriptor, closing, and reading what
// it holds.
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"

namespace kp_python {

namespace {

// A writable buffer of contiguous bytes, held while the library writes it without the GIL.
class Writable {
public:
    explicit Writable(const py::object& object) {
        if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0)
            throw py::error_already_set();
    }
    ~Writable() { PyBuffer_Release(&view_); }
    Writable(const Writable&) = delete;
    Writable& operator=(const Writable&) = delete;
    void* data() const { return view_.buf; }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

}  // namespace

Archive::Archive() : handle_(kp_new()) {
    if (handle_ == nullptr) throw std::bad_alloc();
}

Archive::~Archive() {
    kp_close(handle_);
}

py::tuple Archive::open_path(const std::string& path, std::optional<std::uint64_t> offset) {
    const char* text = c_text(path, "a path");
    py::object dropped;
    const Said call = locked([&] {
        dropped = std::exchange(stream_, py::object());
        return said(handle_, offset ? kp_open_path_at(handle_, text, *offset) : kp_open_path(handle_, text));
    });
    return outcome(call, py::none());
}

py::tuple Archive::open_fd(int fd) {
    py::object dropped;
    const Said call = locked([&] {
        dropped = std::exchange(stream_, py::object());
        return said(handle_, kp_open_fd(handle_, fd));
    });
    return outcome(call, py::none());
}

void Archive::close() {
    py::object dropped;
    locked([&] {
        kp_close(handle_);
        handle_ = kp_new();  // null where memory ran out: every call then fails, as on no handle
        dropped = std::exchange(stream_, py::object());
        return 0;
    });
}

bool Archive::is_stream() {
    return locked([&] { return kp_is_stream(handle_) != 0; });
}

py::tuple Archive::header() {
    kp_header header{};
    header.struct_size = sizeof header;
    std::string version;
    const Said call = locked([&] {
        const int status = kp_get_header(handle_, &header);
        if (status == KP_OK) version.assign(header.version, header.version_length);
        return Said{status, status == KP_OK ? "" : "no update file is open", 0};
    });
    return outcome(
        call, py::make_tuple(bytes_of(version), header.file_count, header.data_start, header.end, header.used_size,
                             header.chunk_sum, signatures_of(header.signatures),
                             header.length == UINT64_MAX ? py::object(py::none()) : py::object(py::int_(header.length)),
                             header.cut != 0, header.offset));
}

py::list Archive::entries() {
    struct Record {
        kp_entry entry;
        std::string name;  // each text copied while the lock holds it
        std::optional<std::string> path;
        std::string refusal;
    };
    std::vector<Record> records;
    locked([&] {
        for (std::uint32_t i = 0, count = kp_entry_count(handle_); i < count; ++i) {
            kp_entry entry{};
            entry.struct_size = sizeof entry;
            if (kp_get_entry(handle_, i, &entry) != KP_OK) break;
            Record& record = records.emplace_back(Record{entry, std::string(entry.name, entry.name_length), {}, {}});
            const char* path = nullptr;
            std::size_t length = 0;
            if (kp_entry_path(handle_, i, &path, &length) == KP_OK) {
                record.path.emplace(path, length);
            } else {
                record.refusal = kp_reason(handle_);
            }
        }
        return 0;
    });
    py::list list;
    for (const Record& record : records) {
        const kp_entry& entry = record.entry;
        list.append(py::make_tuple(entry.position, entry.index, bytes_of(record.name), entry.size, entry.chunk_size,
                                   entry.offset, signatures_of(entry.signatures),
                                   record.path ? py::object(bytes_of(*record.path)) : py::object(py::none()),
                                   record.path ? py::object(py::none()) : py::object(bytes_of(record.refusal))));
    }
    return list;
}

py::list Archive::groups() {
    std::vector<std::pair<std::uint64_t, std::vector<std::uint32_t>>> found;
    locked([&] {
        for (std::size_t i = 0, count = kp_group_count(handle_); i < count; ++i) {
            kp_group group{};
            group.struct_size = sizeof group;
            if (kp_get_group(handle_, i, &group) != KP_OK) break;
            found.emplace_back(group.signature,
                               std::vector<std::uint32_t>(group.positions, group.positions + group.count));
        }
        return 0;
    });
    py::list list;
    for (const auto& [signature, positions] : found) list.append(py::make_tuple(signature, positions));
    return list;
}

py::tuple Archive::find(const std::string& name) {
    const char* text = c_text(name, "a name");
    std::uint32_t position = 0;
    const Said call = locked([&] { return said(handle_, kp_find_entry(handle_, text, &position)); });
    return outcome(call, position);
}

py::tuple Archive::readinto(std::uint32_t position, bool padded, std::uint64_t offset, const py::object& buffer) {
    const Writable into(buffer);
    std::size_t got = 0;
    const Said call = locked([&] {
        return said(handle_, kp_read(handle_, position, padded ? 1 : 0, offset, into.data(), into.size(), &got));
    });
    return outcome(call, got);
}

py::tuple Archive::sha256(std::uint32_t position, bool padded) {
    char hex[65] = {};
    const Said call = locked([&] { return said(handle_, kp_sha256(handle_, position, padded ? 1 : 0, hex)); });
    return outcome(call, py::str(hex));
}

void Archive::check_not_calling() const {
    if (caller_ == std::this_thread::get_id())
        throw std::runtime_error("the archive is in a call already: a stream it reads cannot use it");
}

}  // namespace kp_python
