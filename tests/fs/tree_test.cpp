// The walk over a tree: every name once, in byte order of the whole names.
#include "fs/tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fs/file_path.h"
#include "support/run_tool.h"

namespace kp {
namespace {

// A directory's name sorts as if it ended in '/': "a-b" and "a.c" before "a/x", "a0"
// after it, also where the names agree in their first eight bytes. Names that only a walk
// of one directory at a time would misplace.
TEST(Tree, VisitsEveryNameInByteOrder) {
    const std::vector<std::string> names = {"B.txt",      "a-b/c",     "a.c",          "a/x",          "a/y/z",
                                            "a0",         "ab",        "ab-/q",        "longname-/q",  "longname.c",
                                            "longname/y", "longname0", "\xc3\xbc.bin", "z/zz/zzz/deep"};
    test::TempDir dir;
    for (const std::string& name : names) {
        const std::filesystem::path path =
            std::filesystem::path(dir.path()) / std::filesystem::path(std::u8string(name.begin(), name.end()));
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << name;
    }
    DirectoryWalk walk;
    walk.root = open_target_directory(dir.path());
    ASSERT_NE(walk.root, no_file);
    struct Seen {
        std::vector<std::string> files;
        std::vector<std::string> deep;
    } seen;
    TreeVisit visit;
    visit.context = &seen;
    visit.file = [](void* context, std::string&& name, bool regular) {
        EXPECT_TRUE(regular) << name;
        static_cast<Seen*>(context)->files.push_back(std::move(name));
    };
    visit.deep = [](void* context, std::string&& name, bool) { static_cast<Seen*>(context)->deep.push_back(name); };
    walk_tree(walk, {}, "", visit, {3, 100});
    const std::vector<std::string> files(names.begin(), names.end() - 1);
    EXPECT_TRUE(std::is_sorted(files.begin(), files.end()));
    EXPECT_EQ(seen.files, files);
    EXPECT_EQ(seen.deep, std::vector<std::string>{"z/zz/zzz"});  // a name below it would have four parts
    walk_end(walk);
    close_directory(walk.root);
}

}  // namespace
}  // namespace kp
