// A Python file object as the library's stream: each read takes the GIL, and what the
// stream raised is kept for its call to raise once the library has returned.
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "binding.h"

namespace kp_python {

py::tuple Archive::open_stream(py::object stream) {
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

// The errno the library is told for what a stream raised: its own where it is an
// OSError's, else EIO. Never EINTR, which the library takes as "read again".
int Archive::errno_of(const py::error_already_set& error) {
    if (!error.matches(PyExc_OSError)) return EIO;
    const py::object number = py::getattr(error.value(), "errno", py::none());
    if (!PyLong_Check(number.ptr())) return EIO;
    const long value = PyLong_AsLong(number.ptr());
    if (value == -1 && PyErr_Occurred()) PyErr_Clear();
    return value <= 0 || value == EINTR || value > 0xFFFF ? EIO : static_cast<int>(value);
}

py::error_already_set Archive::raised(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    return {};
}

// One read of the Python stream into the library's `buffer`. readinto is handed a view
// of a bytearray of the binding's own, released once it returns, and what it read is
// copied: a stream that keeps the view, or a slice of it, never reaches the library's
// memory after the call.
std::size_t Archive::read_once(void* buffer, std::size_t size) {
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
        if (got.is_none()) throw raised(PyExc_BlockingIOError, "readinto() returned None: the stream has no data yet");
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
        throw raised(PyExc_TypeError, std::string("read() should return bytes, not ") + Py_TYPE(got.ptr())->tp_name);
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
void Archive::release(const py::object& view) {
    PyObject* const done = PyObject_CallMethod(view.ptr(), "release", nullptr);
    if (done == nullptr) PyErr_Clear();
    Py_XDECREF(done);
}

// Nothing is thrown through the library: what the stream raised, or a C++ exception
// of the binding's, is kept for the call to raise once the library has returned, and
// the read fails.
ptrdiff_t Archive::read_stream(void* context, void* buffer, std::size_t size) noexcept {
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

}  // namespace kp_python
