// Hunting from Python: a path, a descriptor or a file object scanned on the handle, the
// hits gathered without the GIL and handed back as tuples.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"

namespace kp_python {

namespace {

struct Hit {
    std::uint64_t offset, end, within;
    std::uint32_t file_count;
    std::string version;
    bool cut, inside, weak;
};

int gather(void* context, const kp_scan_hit* hit) {
    static_cast<std::vector<Hit>*>(context)->push_back({hit->offset, hit->end, hit->within, hit->file_count,
                                                        std::string(hit->version, hit->version_length), hit->cut != 0,
                                                        hit->inside != 0, hit->weak != 0});
    return 0;
}

// (status, reason, errno, (hits, size)): each hit (offset, end, file_count, version,
// cut, within or None, weak).
py::tuple handed_back(const Said& call, const std::vector<Hit>& hits, std::uint64_t size) {
    py::list found;
    for (const Hit& hit : hits) {
        found.append(py::make_tuple(hit.offset, hit.end, hit.file_count, bytes_of(hit.version), hit.cut,
                                    hit.inside ? py::object(py::int_(hit.within)) : py::object(py::none()), hit.weak));
    }
    return outcome(call, py::make_tuple(found, size));
}

}  // namespace

py::tuple Archive::scan_path(const std::string& path, bool weak) {
    const char* text = c_text(path, "a path");
    std::vector<Hit> hits;
    std::uint64_t size = 0;
    const Said call = locked(
        [&] { return said(handle_, kp_scan_path(handle_, text, weak ? KP_SCAN_WEAK : 0, gather, &hits, &size)); });
    return handed_back(call, hits, size);
}

py::tuple Archive::scan_fd(int fd, bool weak) {
    std::vector<Hit> hits;
    std::uint64_t size = 0;
    const Said call =
        locked([&] { return said(handle_, kp_scan_fd(handle_, fd, weak ? KP_SCAN_WEAK : 0, gather, &hits, &size)); });
    return handed_back(call, hits, size);
}

py::tuple Archive::scan_stream(py::object stream, bool weak) {
    const bool has_readinto = py::hasattr(stream, "readinto");
    std::vector<Hit> hits;
    std::uint64_t size = 0;
    py::object held;
    const Said call = locked([&] {
        held = std::exchange(stream_, std::move(stream));
        readinto_ = has_readinto;
        const int status = kp_scan_stream(handle_, read_stream, this, weak ? KP_SCAN_WEAK : 0, gather, &hits, &size);
        std::swap(held, stream_);  // the handle's own stream, where it had one, back in place
        return said(handle_, status);
    });
    return handed_back(call, hits, size);
}

}  // namespace kp_python
