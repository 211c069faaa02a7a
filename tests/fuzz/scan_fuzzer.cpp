// libFuzzer target: the scanner over any bytes, behind a prefix whose length the first
// byte picks, so that hits come at every alignment. Every hit, weak or not, is what the
// loader accepts at its offset; the strict hits are among the weak ones; hits come in
// offset order, each lying in an earlier one; and a stream read in pieces of any size
// finds exactly what one read finds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "archive/update_archive.h"
#include "fs/stream.h"
#include "ops/scan.h"

namespace {

struct Reader {
    const std::string* bytes = nullptr;
    std::size_t at = 0;
    std::size_t piece = 0;
};

std::int64_t read_pieces(void* context, unsigned char* buffer, std::size_t size) {
    auto& reader = *static_cast<Reader*>(context);
    const std::size_t count = std::min({size, reader.piece, reader.bytes->size() - reader.at});
    std::memcpy(buffer, reader.bytes->data() + reader.at, count);
    reader.at += count;
    return static_cast<std::int64_t>(count);
}

struct Hit {
    std::uint64_t offset, end, within;
    bool cut, inside, weak;
    bool operator==(const Hit&) const = default;
};

std::vector<Hit> scan(const std::string& blob, std::size_t piece, bool weak) {
    std::vector<Hit> hits;
    kp::ScanSink sink;
    sink.context = &hits;
    sink.found = [](void* context, const kp::FoundUpdate& found) {
        static_cast<std::vector<Hit>*>(context)->push_back(
            {found.hit.offset, found.end, found.within, found.cut, found.inside, found.hit.weak});
    };
    Reader reader{&blob, 0, piece};
    kp::SourceFile source;
    source.stream = true;
    source.length = kp::unknown_length;
    source.reader = {read_pieces, &reader};
    const kp::ScanOutcome outcome = kp::scan_source(source, kp::scan_rules(weak), sink);
    if (outcome.size != blob.size() || outcome.hits != hits.size()) std::abort();
    return hits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string blob =
        std::string(data[0] % 131, '\x5a') + std::string(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::vector<Hit> weak = scan(blob, blob.size() + 1, true);
    const std::vector<Hit> strict = scan(blob, blob.size() + 1, false);
    for (std::size_t i = 0; i < weak.size(); ++i) {
        const Hit& hit = weak[i];
        if (i > 0 && weak[i - 1].offset >= hit.offset) std::abort();
        if (hit.inside && hit.within >= hit.offset) std::abort();
        if (hit.cut != (hit.end > blob.size())) std::abort();
        std::istringstream in(blob.substr(static_cast<std::size_t>(hit.offset)));
        kp::UpdateArchive archive;
        if (kp::load_archive(archive, in) <= 0) std::abort();
    }
    for (const Hit& hit : strict) {
        if (hit.weak) std::abort();
        // Among the weak, found the same but for `within`, which a weak parent may change.
        const auto same = std::find_if(weak.begin(), weak.end(), [&](const Hit& other) {
            return other.offset == hit.offset && other.end == hit.end && !other.weak;
        });
        if (same == weak.end()) std::abort();
    }
    const std::size_t piece = 1 + (size > 1 ? data[1] : 0) % 257;
    if (scan(blob, piece, false) != strict) std::abort();
    return 0;
}
