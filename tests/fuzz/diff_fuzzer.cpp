// libFuzzer target: comparing an update file with a mutated copy of itself is symmetric.
// What one side adds the other removes, the same files change either way round, with
// the same fields, and as many are the same; nothing crashes or leaks. The input's
// first byte picks the byte of the copy that changes and how.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "archive/update_archive.h"
#include "extract/compare.h"
#include "extract/extraction.h"

namespace {

namespace fs = std::filesystem;

fs::path scratch;

void write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Each side's latest entry of every file, as --diff compares them.
std::vector<kp::u32> latest(const kp::UpdateArchive& archive) {
    kp::Selection all;
    all.all = true;
    return kp::select_entries(archive, all).positions;
}

std::multiset<std::string> names(const std::vector<kp::DiffEntry>& entries) {
    std::multiset<std::string> found;
    for (const kp::DiffEntry& entry : entries) found.insert(entry.name);
    return found;
}

void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "diff: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const fs::path base = ::access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
    scratch = base / ("kpupdate-diff-" + std::to_string(::getpid()));
    fs::create_directories(scratch);
    std::atexit([] {
        std::error_code ignored;
        fs::remove_all(scratch, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::string original(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string mutated = original;
    const std::size_t at = (data[0] * 131u) % mutated.size();
    mutated[at] = static_cast<char>(mutated[at] ^ (1 + data[0] % 255));
    write(scratch / "a.update", original);
    write(scratch / "b.update", mutated);

    kp::UpdateArchive a;
    kp::UpdateArchive b;
    if (kp::load_archive(a, (scratch / "a.update").c_str()) < 0 ||
        kp::load_archive(b, (scratch / "b.update").c_str()) < 0) {
        return 0;
    }
    kp::DiffReport forward;
    kp::DiffReport backward;
    kp::compare_archives(a, latest(a), b, latest(b), forward);
    kp::compare_archives(b, latest(b), a, latest(a), backward);
    check(names(forward.added) == names(backward.removed), "added one way, not removed the other");
    check(names(forward.removed) == names(backward.added), "removed one way, not added the other");
    check(forward.same == backward.same, "not as many the same either way");
    check(forward.changed.size() == backward.changed.size(), "not as many changed either way");
    for (const kp::DiffEntry& change : forward.changed) {
        const auto other = std::find_if(backward.changed.begin(), backward.changed.end(), [&](const kp::DiffEntry& e) {
            return e.old_position == change.position && e.position == change.old_position;
        });
        check(other != backward.changed.end(), "changed one way only");
        check(other->index_differs == change.index_differs && other->size_differs == change.size_differs &&
                  other->signatures == change.signatures && other->bytes_differ == change.bytes_differ,
              "changed differently either way");
    }
    check(forward.version_differs == backward.version_differs, "the version differs one way only");
    check(forward.damaged.size() == backward.damaged.size(), "not as much damage either way");
    return 0;
}
