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

}  // namespace
}  // namespace kp
