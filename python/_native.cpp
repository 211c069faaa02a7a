// The C interface as Python sees it, one call each: handles, entries as tuples, bytes read
// with the GIL released, and every status returned for the package to raise on.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "kpupdate.h"

namespace py = pybind11;

namespace {

py::bytes bytes_of(const char* data, std::size_t size) {
    return {data, size};
}

// A document the library made, as text, freed here.
std::string taken(char* document) {
    std::string text = document != nullptr ? document : "";
    kp_free(document);
    return text;
}

std::vector<const char*> pointers(const std::vector<std::string>& texts) {
    std::vector<const char*> result;
    for (const std::string& text : texts) result.push_back(text.c_str());
    return result;
}

// One handle, and the Python stream it reads where it reads one.
class Archive {
public:
    Archive() : handle_(kp_new()) {
        if (handle_ == nullptr) throw std::bad_alloc();
    }
    ~Archive() { kp_close(handle_); }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    int open_path(const std::string& path) {
        py::gil_scoped_release released;
        return kp_open_path(handle_, path.c_str());
    }

    int open_fd(int fd) {
        py::gil_scoped_release released;
        return kp_open_fd(handle_, fd);
    }

    // `stream` has readinto (or read): read once, in order, the GIL taken for each read.
    int open_stream(py::object stream) {
        stream_ = std::move(stream);
        py::gil_scoped_release released;
        return kp_open_stream(handle_, read_stream, this);
    }

    void close() {
        py::gil_scoped_release released;
        kp_close(handle_);
        handle_ = kp_new();
    }

    py::bytes reason() const { return kp_reason(handle_); }
    int system_error() const { return kp_system_error(handle_); }
    bool is_stream() const { return kp_is_stream(handle_) != 0; }

    py::tuple header() const {
        kp_header header{};
        header.struct_size = sizeof header;
        kp_get_header(handle_, &header);
        return py::make_tuple(
            bytes_of(header.version, header.version_length), header.file_count, header.data_start, header.end,
            header.used_size, header.chunk_sum,
            py::make_tuple(header.signatures[0], header.signatures[1], header.signatures[2], header.signatures[3]));
    }

    py::list entries() const {
        const std::uint32_t count = kp_entry_count(handle_);
        py::list list(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            kp_entry entry{};
            entry.struct_size = sizeof entry;
            kp_get_entry(handle_, i, &entry);
            list[i] = py::make_tuple(
                entry.position, entry.index, bytes_of(entry.name, entry.name_length), entry.size, entry.chunk_size,
                entry.offset,
                py::make_tuple(entry.signatures[0], entry.signatures[1], entry.signatures[2], entry.signatures[3]));
        }
        return list;
    }

    py::list groups() const {
        py::list list;
        for (std::size_t i = 0, count = kp_group_count(handle_); i < count; ++i) {
            kp_group group{};
            group.struct_size = sizeof group;
            kp_get_group(handle_, i, &group);
            py::list positions;
            for (std::size_t j = 0; j < group.count; ++j) positions.append(group.positions[j]);
            list.append(py::make_tuple(group.signature, positions));
        }
        return list;
    }

    // Up to `size` bytes of the entry from `offset`, into `buffer` (anything writable).
    std::tuple<int, std::size_t> readinto(std::uint32_t position, bool padded, std::uint64_t offset,
                                          py::buffer buffer) {
        const py::buffer_info info = buffer.request(true);
        const auto size = static_cast<std::size_t>(info.size * info.itemsize);
        std::size_t got = 0;
        int status = 0;
        {
            py::gil_scoped_release released;
            status = kp_read(handle_, position, padded ? 1 : 0, offset, info.ptr, size, &got);
        }
        return {status, got};
    }

    std::tuple<int, std::string> sha256(std::uint32_t position, bool padded) {
        char hex[65] = {};
        py::gil_scoped_release released;
        const int status = kp_sha256(handle_, position, padded ? 1 : 0, hex);
        return {status, hex};
    }

    // What extraction did: its status, and the entries written (with their paths),
    // skipped, and failed (with why).
    py::tuple extract(const std::optional<std::string>& directory, const std::vector<std::string>& names,
                      const std::vector<std::string>& includes, const std::vector<std::string>& excludes,
                      std::uint32_t strip, bool padded, int existing) {
        struct Told {
            std::vector<std::pair<std::uint32_t, std::string>> written;
            std::vector<std::uint32_t> skipped;
            std::vector<std::pair<std::uint32_t, std::string>> failed;
        } told;
        const std::vector<const char*> name_list = pointers(names);
        const std::vector<const char*> include_list = pointers(includes);
        const std::vector<const char*> exclude_list = pointers(excludes);
        kp_extract_options options{};
        options.struct_size = sizeof options;
        options.directory = directory ? directory->c_str() : nullptr;
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
            if (result > 0) into.written.emplace_back(position, path != nullptr ? path : "");
            if (result == 0) into.skipped.push_back(position);
            if (result < 0) into.failed.emplace_back(position, reason != nullptr ? reason : "");
        };
        int status = 0;
        {
            py::gil_scoped_release released;
            status = kp_extract(handle_, &options);
        }
        py::list written;
        for (const auto& [position, path] : told.written) written.append(py::make_tuple(position, py::bytes(path)));
        py::list failed;
        for (const auto& [position, reason] : told.failed) failed.append(py::make_tuple(position, py::bytes(reason)));
        return py::make_tuple(status, written, told.skipped, failed);
    }

    std::tuple<int, std::string> json() {
        char* document = nullptr;
        int status = 0;
        {
            py::gil_scoped_release released;
            status = kp_json(handle_, &document, nullptr);
        }
        return {status, taken(document)};
    }

    std::tuple<int, std::string> test() {
        char* document = nullptr;
        int status = 0;
        {
            py::gil_scoped_release released;
            status = kp_test(handle_, &document);
        }
        return {status, taken(document)};
    }

    std::tuple<int, std::string> diff(Archive& old) {
        char* document = nullptr;
        int status = 0;
        {
            py::gil_scoped_release released;
            status = kp_diff(handle_, old.handle_, &document);
        }
        return {status, taken(document)};
    }

    std::tuple<int, std::string> diff_directory(const std::string& directory, bool padded) {
        char* document = nullptr;
        int status = 0;
        {
            py::gil_scoped_release released;
            status = kp_diff_directory(handle_, directory.c_str(), padded ? 1 : 0, &document);
        }
        return {status, taken(document)};
    }

private:
    static ptrdiff_t read_stream(void* context, void* buffer, std::size_t size) {
        auto* self = static_cast<Archive*>(context);
        py::gil_scoped_acquire held;
        try {
            if (py::hasattr(self->stream_, "readinto")) {
                py::memoryview view = py::memoryview::from_memory(buffer, static_cast<py::ssize_t>(size));
                const py::object got = self->stream_.attr("readinto")(view);
                return got.is_none() ? 0 : got.cast<ptrdiff_t>();
            }
            const py::bytes got = self->stream_.attr("read")(size);
            const std::string bytes = got;
            std::memcpy(buffer, bytes.data(), std::min(bytes.size(), size));
            return static_cast<ptrdiff_t>(std::min(bytes.size(), size));
        } catch (py::error_already_set& error) {
            error.discard_as_unraisable("reading an update file from a Python stream");
            errno = EIO;
            return -1;
        }
    }

    kp_archive* handle_;
    py::object stream_;
};

std::tuple<int, py::bytes, int> create(const std::string& file, const std::optional<std::string>& directory,
                                       const std::vector<std::string>& paths,
                                       const std::optional<std::string>& manifest,
                                       const std::optional<std::string>& manifest_text,
                                       const std::optional<std::string>& version_text,
                                       const std::optional<std::string>& filler,
                                       const std::vector<std::string>& excludes, bool padded, bool keep) {
    const std::vector<const char*> path_list = pointers(paths);
    const std::vector<const char*> exclude_list = pointers(excludes);
    kp_create_options options{};
    options.struct_size = sizeof options;
    options.directory = directory ? directory->c_str() : nullptr;
    options.paths = path_list.data();
    options.path_count = path_list.size();
    options.manifest = manifest ? manifest->c_str() : nullptr;
    options.manifest_text = manifest_text ? manifest_text->data() : nullptr;
    options.manifest_length = manifest_text ? manifest_text->size() : 0;
    options.version_text = version_text ? version_text->c_str() : nullptr;
    options.filler = filler ? filler->c_str() : nullptr;
    options.excludes = exclude_list.data();
    options.exclude_count = exclude_list.size();
    options.padded = padded ? 1 : 0;
    options.keep = keep ? 1 : 0;
    std::unique_ptr<kp_archive, void (*)(kp_archive*)> handle(kp_new(), kp_close);
    int status = 0;
    {
        py::gil_scoped_release released;
        status = kp_create(handle.get(), file.c_str(), &options);
    }
    return {status, py::bytes(kp_reason(handle.get())), kp_system_error(handle.get())};
}

}  // namespace

PYBIND11_MODULE(_native, module) {
    module.doc() = "The C interface of libkpupdate; use the kpupdate package instead.";
    module.attr("version") = kp_version();
    py::class_<Archive>(module, "Archive")
        .def(py::init<>())
        .def("open_path", &Archive::open_path)
        .def("open_fd", &Archive::open_fd)
        .def("open_stream", &Archive::open_stream)
        .def("close", &Archive::close)
        .def("reason", &Archive::reason)
        .def("system_error", &Archive::system_error)
        .def("is_stream", &Archive::is_stream)
        .def("header", &Archive::header)
        .def("entries", &Archive::entries)
        .def("groups", &Archive::groups)
        .def("readinto", &Archive::readinto)
        .def("sha256", &Archive::sha256)
        .def("extract", &Archive::extract)
        .def("json", &Archive::json)
        .def("test", &Archive::test)
        .def("diff", &Archive::diff)
        .def("diff_directory", &Archive::diff_directory);
    module.def("create", &create);
}
