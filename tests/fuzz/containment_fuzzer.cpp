// libFuzzer target: whatever the update file says, whole-archive extraction writes only
// inside its target directory, only regular files and directories, each file's bytes
// exactly the size (or padded the chunk) of an entry of that name, and leaves no
// temporary file behind. It runs what `kpupdate -q -a [--padded] -C DIR FILE` runs.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "cli/driver.h"
#include "ops/extraction.h"
#include "support/capture.h"

namespace {

namespace fs = std::filesystem;

// input.update, and outer/inner/ that extraction writes into; removed at exit.
struct Scratch {
    fs::path path;
    ~Scratch() {
        std::error_code ignored;
        if (!path.empty()) fs::remove_all(path, ignored);
    }
} scratch_directory;
const fs::path& scratch = scratch_directory.path;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "containment: %s\n", what.c_str());
    std::abort();
}

std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What each name may hold once extracted: the bytes of every entry that would write it.
std::map<std::string, std::set<std::string>> expected_files(const kp::UpdateArchive& archive, const std::string& bytes,
                                                            bool padded) {
    std::map<std::string, std::set<std::string>> expected;
    for (const kp::EntryRecord& entry : archive.entries) {
        const std::string name(kp::record_text(entry.record.name));
        const kp::ByteRange range = kp::written_bytes(entry, padded);
        if (name.empty() || !range.lies_within(bytes.size())) continue;
        // An empty range lies within any file, wherever it begins.
        const std::string content = range.size == 0 ? std::string() : bytes.substr(range.offset, range.size);
        expected[fs::path(name).lexically_normal().generic_string()].insert(content);
    }
    return expected;
}

void check_tree(const fs::path& outer, const fs::path& inner,
                const std::map<std::string, std::set<std::string>>& expected) {
    for (const fs::directory_entry& item : fs::recursive_directory_iterator(outer)) {
        const fs::path path = item.path();
        const fs::file_status status = fs::symlink_status(path);
        const std::string relative = path.lexically_relative(inner).generic_string();
        const bool outside = relative.empty() || relative == ".." || relative.starts_with("../");
        if (path != inner && outside) fail("outside the target: " + path.string());
        if (path == inner) continue;
        if (fs::is_directory(status)) {
            // A directory must lie on the way to some name.
            const auto after = expected.lower_bound(relative + "/");
            if (after == expected.end() || !after->first.starts_with(relative + "/"))
                fail("stray directory: " + relative);
        } else if (fs::is_regular_file(status)) {
            const auto found = expected.find(relative);
            if (found == expected.end()) fail("file no entry names (a temporary one?): " + relative);
            if (found->second.count(read_all(path)) == 0) fail("bytes that are no entry's: " + relative);
        } else {
            fail("neither file nor directory: " + relative);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const fs::path base = ::access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
    scratch_directory.path = base / ("kpupdate-containment-" + std::to_string(::getpid()));
    fs::create_directories(scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const fs::path input = scratch / "input.update";
    const fs::path outer = scratch / "outer";
    const fs::path inner = outer / "inner";
    std::ofstream(input, std::ios::binary | std::ios::trunc) << bytes;
    fs::remove_all(outer);
    fs::create_directories(inner);

    kp::Options options;
    options.quiet = true;
    options.all = true;
    options.padded = (size & 1) != 0;
    options.directory = inner.string();
    const std::string file = input.string();
    options.file = file.c_str();
    kp::UpdateArchive archive;
    kp::test::CapturedConsole capture;
    kp::RunInputs inputs;
    kp::open_inputs(options, scratch.string(), inputs);
    kp::open_file_input(options, inputs);
    kp::run_program(archive, capture.console, options, inputs);
    kp::close_inputs(inputs);

    check_tree(outer, inner, expected_files(archive, bytes, options.padded));
    fs::remove_all(outer);
    return 0;
}
