// --create from Python: a handle of its own for the one call, which writes the file or
// nothing.
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "binding.h"

namespace kp_python {

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

}  // namespace kp_python
