// The C interface as Python sees it, one call each: handles, entries as tuples, bytes read
// with the GIL released, and every status returned for the package to raise on, with the
// reason and errno its own call left.
#include <utility>

#include "binding.h"

using kp_python::Archive;

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
        .def("diff_directory", &Archive::diff_directory)
        .def("scan_path", &Archive::scan_path)
        .def("scan_fd", &Archive::scan_fd)
        .def("scan_stream", &Archive::scan_stream);
    module.def("create", &kp_python::create);
}
