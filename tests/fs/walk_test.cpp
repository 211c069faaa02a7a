// The handle walk: directories held for the names after them, within the descriptors the
// process may open.
#include "fs/walk.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/run_tool.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

TEST(Walk, HoldsAQuarterOfTheDescriptorsAtMost256) {
    const std::pair<std::size_t, std::size_t> limits[] = {{0, 1}, {3, 1}, {16, 4}, {1024, 256}, {1 << 20, 256}};
    for (const auto& [open_files, held] : limits) EXPECT_EQ(held_directories_for(open_files), held) << open_files;
}

// Names that alternate between more directories than it holds each reach their own:
// the one used longest ago is closed, and opened again when it is needed again.
TEST(Walk, EvictsTheDirectoryUsedLongestAgo) {
    // A few over a small capacity, and more than the most any walk holds.
    for (const auto& [capacity, count] : {std::pair<std::size_t, int>{4, 6}, {most_held_directories, 300}}) {
        SCOPED_TRACE(capacity);
        TempDir dir;
        for (int i = 0; i < count; ++i) {
            fs::create_directories(dir.file("d" + std::to_string(i) + "/in"));
            test::write_file(dir.file("d" + std::to_string(i) + "/in/f" + std::to_string(i)), "");
        }
        DirectoryWalk walk;
        walk.root = open_target_directory(dir.path());
        walk.capacity = capacity;
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < count; ++i) {
                std::size_t reached = 0;
                DirectoryError error;
                const std::vector<fs::path> parts = {"d" + std::to_string(i), "in"};
                const FileHandle inner = walk_to(walk, parts, reached, error);
                ASSERT_NE(inner, no_file) << error.text;
                EXPECT_LE(walk.held.size(), capacity);
                EXPECT_EQ(walk.held.count(parts[0].native() + fs::path::preferred_separator + parts[1].native()), 1u);
                std::vector<DirectoryItem> items;
                ASSERT_TRUE(read_directory(inner, items));  // the handle still reads its own directory
                ASSERT_EQ(items.size(), 1u);
                EXPECT_EQ(items[0].name, "f" + std::to_string(i));
            }
        }
        walk_end(walk);
        close_directory(walk.root);
    }
}

#ifndef _WIN32

// Where the process runs out of descriptors, the walk closes half of what it holds and
// opens the directory once more, and holds no more than it could from then on.
TEST(Walk, GivesBackDirectoriesWhenDescriptorsRunOut) {
    TempDir dir;
    for (int i = 0; i < 40; ++i) fs::create_directory(dir.file("d" + std::to_string(i)));
    DirectoryWalk walk;
    walk.root = open_target_directory(dir.path());
    walk.capacity = 1000;  // more than the limit below allows
    const int lowest_free = ::dup(0);
    ::close(lowest_free);
    rlimit before{};
    ::getrlimit(RLIMIT_NOFILE, &before);
    rlimit tight = before;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free + 6);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    int reached_all = 0;
    for (int i = 0; i < 40; ++i) {
        std::size_t reached = 0;
        DirectoryError error;
        reached_all += walk_to(walk, {fs::path("d" + std::to_string(i))}, reached, error) != no_file;
    }
    const std::size_t held = walk.held.size();
    ::setrlimit(RLIMIT_NOFILE, &before);
    EXPECT_EQ(reached_all, 40);
    EXPECT_LE(held, 6u);
    walk_end(walk);
    close_directory(walk.root);
}

#endif

// Directories whose parts join to the same letters ("ab" "c" and "a" "bc") are held
// apart, each by its own handle.
TEST(Walk, KeepsPartsThatJoinAlikeApart) {
    TempDir dir;
    fs::create_directories(dir.file("ab/c"));
    fs::create_directories(dir.file("a/bc"));
    test::write_file(dir.file("ab/c/in-ab-c"), "");
    test::write_file(dir.file("a/bc/in-a-bc"), "");
    DirectoryWalk walk;
    walk.root = open_target_directory(dir.path());
    for (const auto& [parts, held] : {std::pair{std::vector<fs::path>{"ab", "c"}, "in-ab-c"},
                                      std::pair{std::vector<fs::path>{"a", "bc"}, "in-a-bc"},
                                      std::pair{std::vector<fs::path>{"ab", "c"}, "in-ab-c"}}) {
        std::size_t reached = 0;
        DirectoryError error;
        const FileHandle directory = walk_to(walk, parts, reached, error);
        ASSERT_NE(directory, no_file);
        std::vector<DirectoryItem> items;
        ASSERT_TRUE(read_directory(directory, items));
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].name, held);
    }
    walk_end(walk);
    close_directory(walk.root);
}

}  // namespace
}  // namespace kp
