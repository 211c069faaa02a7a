#include <gtest/gtest.h>

#include "cli/driver.h"

namespace kp {
namespace {

TEST(SetBaseDirectory, NormalisesSeparatorsAndAppendsOne) {
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\work", "C:/work/"}, {"C:/", "C://"}, {"/home/user", "/home/user/"}, {"/", "//"}, {"", ""},
        {"work", "work"},
    };
    for (const auto& [directory, expected] : cases) {
        UpdateArchive archive;
        set_base_directory(archive, directory);
        EXPECT_EQ(archive.base_directory, expected) << directory;
    }
}

TEST(ParseIndex, ReadsLikeAtoiAndClamps) {
    const std::pair<const char*, i32> cases[] = {
        {"3", 3},
        {"  +3", 3},
        {"\t-1", -1},
        {"abc", 0},
        {"12abc", 12},
        {"", 0},
        {"-", 0},
        {"- 1", 0},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"99999999999999999999", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"-99999999999999999999", -2147483647 - 1},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parse_index(text), expected) << '"' << text << '"';
}

}  // namespace
}  // namespace kp
