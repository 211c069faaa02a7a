// What the binding's units share: the handle class and the helpers that carry texts and
// statuses between Python and the library. Private to the extension.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>  // in every unit, so that each converts the same types alike

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "kpupdate.h"

namespace py = pybind11;

namespace kp_python {

py::bytes bytes_of(const std::string& text);

// A text the library takes up to its NUL: one inside it would cut it short, and make
// "x\0/../etc" the name "x".
const char* c_text(const std::string& text, const char* what);

std::vector<const char*> pointers(const std::vector<std::string>& texts, const char* what);

// A document the library made, as text, freed here.
std::string taken(char* document);

// What a call said, read with it under its lock: its status, and where it failed the
// handle's reason and errno, which the next call on the handle replaces.
struct Said {
    int status = KP_OK;
    std::string reason;
    int error = 0;
};

Said said(const kp_archive* handle, int status);

template <typename Value>
py::tuple outcome(const Said& call, Value&& value) {
    return py::make_tuple(call.status, bytes_of(call.reason), call.error, std::forward<Value>(value));
}

py::tuple signatures_of(const std::uint64_t (&signatures)[4]);

// One handle, the lock its calls hold, and the Python stream it reads where it reads one.
//
// A handle is used by one thread at a time, so each Archive holds a lock across every
// call on its handle. The lock is only ever waited for with the GIL released: a stream's
// read takes the GIL while its call holds the lock, so a thread that held the GIL while it
// waited could never be given either.
class Archive {
public:
    Archive();
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    // With an offset, the update file that begins there, read in place.
    py::tuple open_path(const std::string& path, std::optional<std::uint64_t> offset);
    py::tuple open_fd(int fd);
    // `stream` has readinto (or read): read once, in order, the GIL taken for each read.
    py::tuple open_stream(py::object stream);
    void close();
    bool is_stream();
    // The header, its length, which is None where it is not known yet, and its offset.
    py::tuple header();
    // Each entry, with where extraction writes it or why it refuses to (None for the other).
    py::list entries();
    py::list groups();
    // The position of the last entry of that name, as extraction would write it, or why there is none.
    py::tuple find(const std::string& name);
    // Up to the buffer's size of the entry's bytes from `offset`, into `buffer` (any
    // writable contiguous bytes).
    py::tuple readinto(std::uint32_t position, bool padded, std::uint64_t offset, const py::object& buffer);
    py::tuple sha256(std::uint32_t position, bool padded);
    // What extraction did: the entries written (with their paths), skipped, and failed
    // (with why).
    py::tuple extract(const std::optional<std::string>& directory, const std::vector<std::string>& names,
                      const std::vector<std::string>& includes, const std::vector<std::string>& excludes,
                      std::uint32_t strip, bool padded, int existing);
    py::tuple json();
    py::tuple test();
    py::tuple diff_directory(const std::string& directory, bool padded);
    // Both handles are locked, in an order std::lock chooses, so that a.diff(b) in one
    // thread and b.diff(a) in another never wait for each other.
    py::tuple diff(Archive& old);
    // The update files inside a larger file, as kp_scan_* finds them; the handle's own file
    // stays open (scan.cpp).
    py::tuple scan_path(const std::string& path, bool weak);
    py::tuple scan_fd(int fd, bool weak);
    py::tuple scan_stream(py::object stream, bool weak);

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
    void check_not_calling() const;

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

    // The stream's side, in stream.cpp.
    static int errno_of(const py::error_already_set& error);
    static py::error_already_set raised(PyObject* type, const std::string& message);
    std::size_t read_once(void* buffer, std::size_t size);
    static void release(const py::object& view);
    static ptrdiff_t read_stream(void* context, void* buffer, std::size_t size) noexcept;

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
                 bool keep);

}  // namespace kp_python
