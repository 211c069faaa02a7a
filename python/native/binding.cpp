#include "binding.h"

#include <string>
#include <vector>

namespace kp_python {

py::bytes bytes_of(const std::string& text) {
    return {text.data(), text.size()};
}

const char* c_text(const std::string& text, const char* what) {
    if (text.find('\0') != std::string::npos) throw py::value_error(std::string("embedded null byte in ") + what);
    return text.c_str();
}

std::vector<const char*> pointers(const std::vector<std::string>& texts, const char* what) {
    std::vector<const char*> result;
    for (const std::string& text : texts) result.push_back(c_text(text, what));
    return result;
}

std::string taken(char* document) {
    std::string text = document != nullptr ? document : "";
    kp_free(document);
    return text;
}

Said said(const kp_archive* handle, int status) {
    if (status == KP_OK) return {status, {}, 0};
    return {status, kp_reason(handle), kp_system_error(handle)};
}

py::tuple signatures_of(const std::uint64_t (&signatures)[4]) {
    return py::make_tuple(signatures[0], signatures[1], signatures[2], signatures[3]);
}

}  // namespace kp_python
