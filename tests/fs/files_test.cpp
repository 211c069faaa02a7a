// Files put under the target the portable ways: a failed copy leaves no temporary file,
// and no one can foretell a temporary's name.
#include "fs/files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "archive/update_archive.h"
#include "archive_builder.h"
#include "fs/copy.h"
#include "fs/file_path.h"
#include "fs/files_support.h"
#include "fs/new_files.h"
#include "fs/testing.h"
#include "ops/extraction.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::entry;
using test::read_file;
using test::TempDir;
using test::write_file;

// The ways taken where the system offers no unnamed files and no kernel copies.
TEST(PortableFileCalls, FailWithoutLeavingATemporaryFile) {
    TempDir dir;
    build::Archive plan;
    plan.entries = {entry("a.bin", 1, 300000, "a")};
    const std::string archive = build::bytes(plan);
    write_file(dir.file("a.update"), archive);
    fs::create_directory(dir.file("out"));
    write_file(dir.file("out/a.bin"), "old");

    use_portable_file_calls(true);
    std::istringstream in(archive);
    UpdateArchive loaded;
    ASSERT_EQ(load_archive(loaded, in), 1);
    SourceFile source;
    ASSERT_TRUE(open_source(source, dir.file("a.update")));
    Extraction extraction;
    ExtractTarget target;
    target.directory = dir.file("out");
    target.root = open_target_directory(target.directory);
    extraction_begin(extraction, loaded, target, source);
    // Cut short after it was measured: the copy meets the end of the file.
    write_file(dir.file("a.update"), archive.substr(0, 100000));
    EXPECT_EQ(write_entry_file(extraction, loaded.entries[0]).problem.failure, EntryFailure::write);
    PendingFile file;
    ASSERT_TRUE(create_pending_file(file, extraction.walk.root, "b.bin"));
    EXPECT_FALSE(copy_range(*extraction.source, 100000 - 10, 20, file.handle));
    discard_pending_file(file);
    extraction_end(extraction);
    close_directory(target.root);
    close_source(source);
    use_portable_file_calls(false);
    EXPECT_EQ(read_file(dir.file("out/a.bin")), "old");
    EXPECT_EQ(test::tree(dir.file("out")), std::vector<std::string>{"a.bin"});
}

// Temporary names come from the system's random source: forty of one run are all
// distinct, 64 bits each, and none follows the one before as a seeded generator's would.
TEST(PortableFileCalls, TemporaryNamesCannotBeForetold) {
    TempDir dir;
    use_portable_file_calls(true);
    const FileHandle root = open_target_directory(dir.path());
    ASSERT_NE(root, no_file);
    std::vector<std::uint64_t> suffixes;
    bool wide = false;  // some suffix needs more than 32 bits
    for (int i = 0; i < 40; ++i) {
        PendingFile file;
        ASSERT_TRUE(create_pending_file(file, root, "a.bin"));
        const std::string name = path_text(file.temporary);
        discard_pending_file(file);
        ASSERT_TRUE(name.starts_with("a.bin.kpupdate-") && name.size() == 15 + 16) << name;
        ASSERT_EQ(name.find_first_not_of("0123456789abcdef", 15), std::string::npos) << name;
        suffixes.push_back(std::stoull(name.substr(15), nullptr, 16));
        wide = wide || suffixes.back() > 0xFFFFFFFFu;
    }
    close_directory(root);
    use_portable_file_calls(false);
    EXPECT_TRUE(wide);
    EXPECT_EQ(std::set<std::uint64_t>(suffixes.begin(), suffixes.end()).size(), suffixes.size());
    constexpr std::uint64_t modulus = 2147483647;  // the Lehmer generator's: x' = 48271 x mod (2^31 - 1)
    for (std::size_t i = 1; i < suffixes.size(); ++i) {
        EXPECT_NE(suffixes[i] % modulus, suffixes[i - 1] % modulus * 48271 % modulus);
    }
    EXPECT_TRUE(test::tree(dir.path()).empty());
}

}  // namespace
}  // namespace kp
