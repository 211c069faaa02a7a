// The calls that work through the whole file: extraction, and the documents of --json,
// --test and --diff.
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"

namespace kp_python {

py::tuple Archive::extract(const std::optional<std::string>& directory, const std::vector<std::string>& names,
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

py::tuple Archive::json() {
    return document([&](char** text) { return kp_json(handle_, text, nullptr); });
}

py::tuple Archive::test() {
    return document([&](char** text) { return kp_test(handle_, text); });
}

py::tuple Archive::diff_directory(const std::string& directory, bool padded) {
    const char* text = c_text(directory, "a path");
    return document([&](char** document) { return kp_diff_directory(handle_, text, padded ? 1 : 0, document); });
}

// Both handles are locked, in an order std::lock chooses, so that a.diff(b) in one
// thread and b.diff(a) in another never wait for each other.
py::tuple Archive::diff(Archive& old) {
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

}  // namespace kp_python
