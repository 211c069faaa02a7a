// The C interface as Python sees it, one call each: handles, entries as tuples, bytes read
// with the GIL released, and every status returned for the package to raise on, with the
// reason and errno its own call left.
//
// A handle is used by one thread at a time, so each Archive holds a lock across every
// call on its handle. The lock is only ever waited for with the GIL released: a stream's
// read takes the GIL while its call holds the lock, so a thread that held the GIL while it
// waited could never be given either.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "kpupdate.h"

namespace py = pybind11;

namespace {

py::bytes bytes_of(const std::string& text) {
    return {text.data(), text.size()};
}

// A text the library takes up to its NUL: one inside it would cut it short, and make
// "x\0/../etc" the name "x".
const char* c_text(const std::string& text, const char* what) {
    if (text.find('\0') != std::string::npos) throw py::value_error(std::string("embedded null byte in ") + what);
    return text.c_str();
}

std::vector<const char*> pointers(const std::vector<std::string>& texts, const char* what) {
    std::vector<const char*> result;
    for (const std::string& text : texts) result.push_back(c_text(text, what));
    return result;
}

// A document the library made, as text, freed here.
std::string taken(char* document) {
    std::string text = document != nullptr ? document : "";
    kp_free(document);
    return text;
}

// What a call said, read with it under its lock: its status, and where it failed the
// handle's reason and errno, which the next call on the handle replaces.
struct Said {
    int status = KP_OK;
    std::string reason;
    int error = 0;
};

Said said(const kp_archive* handle, int status) {
    if (status == KP_OK) return {status, {}, 0};
    return {status, kp_reason(handle), kp_system_error(handle)};
}

template <typename Value>
py::tuple outcome(const Said& call, Value&& value) {
    return py::make_tuple(call.status, bytes_of(call.reason), call.error, std::forward<Value>(value));
}

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

py::tuple signatures_of(const std::uint64_t (&signatures)[4]) {
    return py::make_tuple(signatures[0], signatures[1], signatures[2], signatures[3]);
}

// One handle, the lock its calls hold, and the Python stream it reads where it reads one.
class Archive {
public:
    Archive() : handle_(kp_new()) {
        if (handle_ == nullptr) throw std::bad_alloc();
    }
    ~Archive() { kp_close(handle_); }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    py::tuple open_path(const std::string& path) {
        const char* text = c_text(path, "a path");
        py::object dropped;
        const Said call = locked([&] {
            dropped = std::exchange(stream_, py::object());
            return said(handle_, kp_open_path(handle_, text));
        });
        return outcome(call, py::none());
    }

    py::tuple open_fd(int fd) {
        py::object dropped;
        const Said call = locked([&] {
            dropped = std::exchange(stream_, py::object());
            return said(handle_, kp_open_fd(handle_, fd));
        });
        return outcome(call, py::none());
    }

    // `stream` has readinto (or read): read once, in order, the GIL taken for each read.
    py::tuple open_stream(py::object stream) {
        const bool has_readinto = py::hasattr(stream, "readinto");
        py::object dropped, refused;
        const Said call = locked([&] {
            dropped = std::exchange(stream_, std::move(stream));
            readinto_ = has_readinto;
            const int status = kp_open_stream(handle_, read_stream, this);
            if (status != KP_OK) refused = std::exchange(stream_, py::object());  // nothing of it is open
            return said(handle_, status);
        });
        return outcome(call, py::none());
    }

    void close() {
        py::object dropped;
        locked([&] {
            kp_close(handle_);
            handle_ = kp_new();  // null where memory ran out: every call then fails, as on no handle
            dropped = std::exchange(stream_, py::object());
            return 0;
        });
    }

    bool is_stream() {
        return locked([&] { return kp_is_stream(handle_) != 0; });
    }

    // The header, and its length, which is None where it is not known yet.
    py::tuple header() {
        kp_header header{};
        header.struct_size = sizeof header;
        std::string version;
        const Said call = locked([&] {
            const int status = kp_get_header(handle_, &header);
            if (status == KP_OK) version.assign(header.version, header.version_length);
            return Said{status, status == KP_OK ? "" : "no update file is open", 0};
        });
        return outcome(call, py::make_tuple(bytes_of(version), header.file_count, header.data_start, header.end,
                                            header.used_size, header.chunk_sum, signatures_of(header.signatures),
                                            header.length == UINT64_MAX ? py::object(py::none())
                                                                        : py::object(py::int_(header.length)),
                                            header.cut != 0));
    }

    // Each entry, with where extraction writes it or why it refuses to (None for the other).
    py::list entries() {
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
                Record& record =
                    records.emplace_back(Record{entry, std::string(entry.name, entry.name_length), {}, {}});
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

    py::list groups() {
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

    // The position of the last entry of that name, as extraction would write it, or why there is none.
    py::tuple find(const std::string& name) {
        const char* text = c_text(name, "a name");
        std::uint32_t position = 0;
        const Said call = locked([&] { return said(handle_, kp_find_entry(handle_, text, &position)); });
        return outcome(call, position);
    }

    // Up to the buffer's size of the entry's bytes from `offset`, into `buffer` (any
    // writable contiguous bytes).
    py::tuple readinto(std::uint32_t position, bool padded, std::uint64_t offset, const py::object& buffer) {
        const Writable into(buffer);
        std::size_t got = 0;
        const Said call = locked([&] {
            return said(handle_, kp_read(handle_, position, padded ? 1 : 0, offset, into.data(), into.size(), &got));
        });
        return outcome(call, got);
    }

    py::tuple sha256(std::uint32_t position, bool padded) {
        char hex[65] = {};
        const Said call = locked([&] { return said(handle_, kp_sha256(handle_, position, padded ? 1 : 0, hex)); });
        return outcome(call, py::str(hex));
    }

    // What extraction did: the entries written (with their paths), skipped, and failed
    // (with why).
    py::tuple extract(const std::optional<std::string>& directory, const std::vector<std::string>& names,
                      const std::vector<std::string>& includes, const std::vector<std::string>& excludes,
                      std::uint32_t strip, bool padded, int existing) {
        struct Told {
            std::vector<std::pair<std::uint32_t, std::string>> written;
            std::vector<std::uint32_t> skipped;
            std::vector<std::pair<std::uint32_t, std::string>> failed;
            bool out_of_memory = false;
        } told;
        const std::vector<const char*> name_list = pointers(names, "a name");
        const std::vector<const char*> include_list = pointers(includes, "a pattern");
        const std::vector<const char*> exclude_list = pointers(excludes, "a pattern");
        kp_extract_options options{};
        options.struct_size = sizeof options;
        options.directory = directory ? c_text(*directory, "a path") : nullptr;
        options.names = name_list.data();
        options.name_count = name_list.size();
        options.includes = include_list.data();
        options.include_count = include_list.size();
        options.excludes = exclude_list.data();
        options.exclude_count = exclude_list.size();
        options.strip = strip;
        options.padded = padded ? 1 : 0;
        options.existing = existing;
        options.context = &told;
        options.entry = [](void* context, std::uint32_t position, int result, const char* path, const char* reason) {
            Told& into = *static_cast<Told*>(context);
            try {  // nothing is thrown through the library
                if (result > 0) into.written.emplace_back(position, path != nullptr ? path : "");
                if (result == 0) into.skipped.push_back(position);
                if (result < 0) into.failed.emplace_back(position, reason != nullptr ? reason : "");
            } catch (const std::bad_alloc&) {
                into.out_of_memory = true;
            }
        };
        const Said call = locked([&] { return said(handle_, kp_extract(handle_, &options)); });
        if (told.out_of_memory) throw std::bad_alloc();
        py::list written;
        for (const auto& [position, path] : told.written) written.append(py::make_tuple(position, bytes_of(path)));
        py::list failed;
        for (const auto& [position, reason] : told.failed) failed.append(py::make_tuple(position, bytes_of(reason)));
        return outcome(call, py::make_tuple(written, told.skipped, failed));
    }

    py::tuple json() {
        return document([&](char** text) { return kp_json(handle_, text, nullptr); });
    }

    py::tuple test() {
        return document([&](char** text) { return kp_test(handle_, text); });
    }

    py::tuple diff_directory(const std::string& directory, bool padded) {
        const char* text = c_text(directory, "a path");
        return document([&](char** document) { return kp_diff_directory(handle_, text, padded ? 1 : 0, document); });
    }

    // Both handles are locked, in an order std::lock chooses, so that a.diff(b) in one
    // thread and b.diff(a) in another never wait for each other.
    py::tuple diff(Archive& old) {
        if (&old == this) return document([&](char** text) { return kp_diff(handle_, handle_, text); });
        check_not_calling();
        old.check_not_calling();
        char* text = nullptr;
        Said call;
        std::optional<py::error_already_set> failed, old_failed;
        {
            py::gil_scoped_release released;
            const std::scoped_lock both(mutex_, old.mutex_);
            const Calling mine(*this, failed), theirs(old, old_failed);
            call = said(handle_, kp_diff(handle_, old.handle_, &text));
        }
        std::string document = taken(text);
        if (failed) throw std::move(*failed);
        if (old_failed) throw std::move(*old_failed);
        return outcome(call, document);
    }

private:
    // Marks the thread as the one in a call on the handle while it holds the lock, and
    // takes what a stream raised in the call before another call may raise anything.
    struct Calling {
        Calling(Archive& archive, std::optional<py::error_already_set>& failed) : archive(archive), failed(failed) {
            archive.caller_ = std::this_thread::get_id();
        }
        ~Calling() {
            failed.swap(archive.pending_);
            archive.caller_ = std::thread::id();
        }
        Calling(const Calling&) = delete;
        Calling& operator=(const Calling&) = delete;
        Archive& archive;
        std::optional<py::error_already_set>& failed;
    };

    // A stream's read that used the archive it feeds would wait for the lock its own call
    // holds, for ever: it is refused.
    void check_not_calling() const {
        if (caller_ == std::this_thread::get_id())
            throw std::runtime_error("the archive is in a call already: a stream it reads cannot use it");
    }

    // `work` under the handle's lock, with the GIL released; then whatever a Python
    // stream raised in it, now that the library has cleaned up after the failed read.
    template <typename Work>
    std::invoke_result_t<Work&> locked(Work&& work) {
        check_not_calling();
        std::optional<py::error_already_set> failed;
        auto result = [&] {
            const py::gil_scoped_release released;
            const std::lock_guard<std::mutex> lock(mutex_);
            const Calling calling(*this, failed);
            return work();
        }();
        if (failed) throw std::move(*failed);
        return result;
    }

    template <typename Make>
    py::tuple document(Make&& make) {
        char* text = nullptr;
        const Said call = locked([&] { return said(handle_, make(&text)); });
        return outcome(call, taken(text));
    }

    // The errno the library is told for what a stream raised: its own where it is an
    // OSError's, else EIO. Never EINTR, which the library takes as "read again".
    static int errno_of(const py::error_already_set& error) {
        if (!error.matches(PyExc_OSError)) return EIO;
        const py::object number = py::getattr(error.value(), "errno", py::none());
        if (!PyLong_Check(number.ptr())) return EIO;
        const long value = PyLong_AsLong(number.ptr());
        if (value == -1 && PyErr_Occurred()) PyErr_Clear();
        return value <= 0 || value == EINTR || value > 0xFFFF ? EIO : static_cast<int>(value);
    }

    static py::error_already_set raised(PyObject* type, const std::string& message) {
        PyErr_SetString(type, message.c_str());
        return {};
    }

    // One read of the Python stream into the library's `buffer`. readinto is handed a view
    // of a bytearray of the binding's own, released once it returns, and what it read is
    // copied: a stream that keeps the view, or a slice of it, never reaches the library's
    // memory after the call.
    std::size_t read_once(void* buffer, std::size_t size) {
        const py::ssize_t asked = static_cast<py::ssize_t>(size);
        if (readinto_) {
            const auto into = py::reinterpret_steal<py::object>(PyByteArray_FromStringAndSize(nullptr, asked));
            if (!into) throw py::error_already_set();
            const auto view = py::reinterpret_steal<py::object>(PyMemoryView_FromObject(into.ptr()));
            if (!view) throw py::error_already_set();
            py::object got;
            try {
                got = stream_.attr("readinto")(view);
            } catch (...) {
                release(view);
                throw;
            }
            release(view);
            if (got.is_none())
                throw raised(PyExc_BlockingIOError, "readinto() returned None: the stream has no data yet");
            const py::ssize_t count = PyNumber_AsSsize_t(got.ptr(), PyExc_OverflowError);
            if (count == -1 && PyErr_Occurred()) throw py::error_already_set();
            if (count < 0 || count > asked || count > PyByteArray_GET_SIZE(into.ptr())) {
                throw raised(PyExc_OSError, "readinto() returned " + std::to_string(count) + " where 0 to " +
                                                std::to_string(asked) + " bytes were asked for");
            }
            std::memcpy(buffer, PyByteArray_AS_STRING(into.ptr()), static_cast<std::size_t>(count));
            return static_cast<std::size_t>(count);
        }
        const py::object got = stream_.attr("read")(asked);
        if (got.is_none()) throw raised(PyExc_BlockingIOError, "read() returned None: the stream has no data yet");
        if (!PyObject_CheckBuffer(got.ptr())) {
            throw raised(PyExc_TypeError,
                         std::string("read() should return bytes, not ") + Py_TYPE(got.ptr())->tp_name);
        }
        Py_buffer bytes{};
        if (PyObject_GetBuffer(got.ptr(), &bytes, PyBUF_C_CONTIGUOUS) != 0) throw py::error_already_set();
        const py::ssize_t count = bytes.len;
        if (count <= asked) std::memcpy(buffer, bytes.buf, static_cast<std::size_t>(count));
        PyBuffer_Release(&bytes);
        if (count > asked) {
            throw raised(PyExc_OSError, "read() returned " + std::to_string(count) + " bytes where at most " +
                                            std::to_string(asked) + " were asked for");
        }
        return static_cast<std::size_t>(count);
    }

    // A view the stream may have taken more of (a NumPy array over it, say) cannot be
    // released; the bytearray under it is the binding's own, so nothing is at risk.
    static void release(const py::object& view) {
        PyObject* const done = PyObject_CallMethod(view.ptr(), "release", nullptr);
        if (done == nullptr) PyErr_Clear();
        Py_XDECREF(done);
    }

    // Nothing is thrown through the library: what the stream raised, or a C++ exception
    // of the binding's, is kept for the call to raise once the library has returned, and
    // the read fails.
    static ptrdiff_t read_stream(void* context, void* buffer, std::size_t size) noexcept {
        auto& self = *static_cast<Archive*>(context);
        int error = EIO;
        try {
            const py::gil_scoped_acquire held;
            if (!self.pending_) {  // else the stream failed in this call already: it is not read again
                try {
                    return static_cast<ptrdiff_t>(self.read_once(buffer, size));
                } catch (py::error_already_set& raised) {
                    self.pending_.emplace(std::move(raised));
                } catch (const std::bad_alloc&) {
                    PyErr_NoMemory();
                    self.pending_.emplace();
                } catch (const std::exception& raised) {
                    PyErr_SetString(PyExc_RuntimeError, raised.what());
                    self.pending_.emplace();
                }
                error = errno_of(*self.pending_);
            }
        } catch (...) {  // not even that could be kept: the read fails as a system's would
        }
        errno = error;  // once the GIL is released, which need not keep it
        return -1;
    }

    kp_archive* handle_;
    std::mutex mutex_;
    std::atomic<std::thread::id> caller_{};
    // Under the lock:
    py::object stream_;
    bool readinto_ = false;
    std::optional<py::error_already_set> pending_;
};

py::tuple create(const std::string& file, const std::optional<std::string>& directory,
                 const std::vector<std::string>& paths, const std::optional<std::string>& manifest,
                 const std::optional<std::string>& manifest_text, const std::optional<std::string>& version_text,
                 const std::optional<std::string>& filler, const std::vector<std::string>& excludes, bool padded,
                 bool keep) {
    const std::vector<const char*> path_list = pointers(paths, "a path");
    const std::vector<const char*> exclude_list = pointers(excludes, "a pattern");
    kp_create_options options{};
    options.struct_size = sizeof options;
    options.directory = directory ? c_text(*directory, "a path") : nullptr;
    options.paths = path_list.data();
    options.path_count = path_list.size();
    options.manifest = manifest ? c_text(*manifest, "a path") : nullptr;
    options.manifest_text = manifest_text ? manifest_text->data() : nullptr;
    options.manifest_length = manifest_text ? manifest_text->size() : 0;
    options.version_text = version_text ? c_text(*version_text, "the version text") : nullptr;
    options.filler = filler ? c_text(*filler, "a name") : nullptr;
    options.excludes = exclude_list.data();
    options.exclude_count = exclude_list.size();
    options.padded = padded ? 1 : 0;
    options.keep = keep ? 1 : 0;
    const char* target = c_text(file, "a path");
    const std::unique_ptr<kp_archive, void (*)(kp_archive*)> handle(kp_new(), kp_close);
    if (!handle) throw std::bad_alloc();
    Said call;
    {
        py::gil_scoped_release released;
        call = said(handle.get(), kp_create(handle.get(), target, &options));
    }
    return outcome(call, py::none());
}

}  // namespace

PYBIND11_MODULE(_native, module) {
    module.doc() = "The C interface of libkpupdate; use the kpupdate package instead.";
    module.attr("version") = kp_version();
    const std::pair<const char*, int> statuses[] = {
        {"OK", KP_OK},
        {"DIFFERENT", KP_DIFFERENT},
        {"ERROR_SYSTEM", KP_ERROR_SYSTEM},
        {"ERROR_FORMAT", KP_ERROR_FORMAT},
        {"ERROR_ARGUMENT", KP_ERROR_ARGUMENT},
        {"ERROR_STATE", KP_ERROR_STATE},
        {"ERROR_NOT_FOUND", KP_ERROR_NOT_FOUND},
        {"ERROR_FAILED", KP_ERROR_FAILED},
    };
    for (const auto& [name, value] : statuses) module.attr(name) = value;
    module.attr("EXISTING_REPLACE") = static_cast<int>(KP_EXISTING_REPLACE);
    module.attr("EXISTING_KEEP") = static_cast<int>(KP_EXISTING_KEEP);
    module.attr("EXISTING_SKIP") = static_cast<int>(KP_EXISTING_SKIP);
    py::class_<Archive>(module, "Archive")
        .def(py::init<>())
        .def("open_path", &Archive::open_path)
        .def("open_fd", &Archive::open_fd)
        .def("open_stream", &Archive::open_stream)
        .def("close", &Archive::close)
        .def("is_stream", &Archive::is_stream)
        .def("header", &Archive::header)
        .def("entries", &Archive::entries)
        .def("groups", &Archive::groups)
        .def("find", &Archive::find)
        .def("readinto", &Archive::readinto)
        .def("sha256", &Archive::sha256)
        .def("extract", &Archive::extract)
        .def("json", &Archive::json)
        .def("test", &Archive::test)
        .def("diff", &Archive::diff)
        .def("diff_directory", &Archive::diff_directory);
    module.def("create", &create);
}
