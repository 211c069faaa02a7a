// The binary within few descriptors: a tree of many directories made into an update
// file, extracted and compared whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::run_tool;
using test::TempDir;

// With few descriptors, 300 files in 60 directories are made into an update file,
// extracted and compared whole: the walk holds no more than the limit leaves it.
TEST(Walk, StaysWithinTheOpenFileLimit) {
    if (!test::posix_child_controls) GTEST_SKIP() << "needs RLIMIT_NOFILE";
    TempDir dir;
    for (int d = 0; d < 60; ++d) {
        for (int f = 0; f < 5; ++f) {
            const std::string name = "tree/d" + std::to_string(d) + "/f" + std::to_string(f) + ".bin";
            fs::create_directories(fs::path(dir.file(name)).parent_path());
            test::write_file(dir.file(name), name);
        }
    }
    test::write_file(dir.file("tree/top.bin"), "top");
    fs::create_directory(dir.file("out"));
    test::ToolOptions options;
    options.cwd = dir.path();
    options.open_files_limit = 16;
    const test::ToolRun made = run_tool({"-c", "f.update", "-C", "tree", "."}, options);
    EXPECT_EQ(made.err, "");
    ASSERT_EQ(made.status, 0);
    const test::ToolRun extracted = run_tool({"-qa", "-C", "out", "f.update"}, options);
    EXPECT_EQ(extracted.err, "");
    EXPECT_EQ(extracted.status, 0);
    EXPECT_EQ(test::tree(dir.file("out")), test::tree(dir.file("tree")));
    const test::ToolRun compared = run_tool({"-q", "--diff=out", "f.update"}, options);
    EXPECT_EQ(compared.out, "--- Differences from out: ---\nSAME: 301 files.\n");
    EXPECT_EQ(compared.err, "");
}

}  // namespace
}  // namespace kp
