#include "ops/names.h"

#include <gtest/gtest.h>

#include <string>

namespace kp {
namespace {

TEST(IsSafeEntryName, RefusesPathsOutsideTheDirectory) {
    const std::pair<std::string, bool> cases[] = {
        {"a.bin", true},  {"sub/x.bin", true}, {"..a", true},        {"./a", true},       {std::string(88, 'n'), true},
        {"", false},      {"/etc/x", false},   {"\\x", false},       {"c:x", false},      {"a:stream", false},
        {"..", false},    {"../x", false},     {"a/../../x", false}, {"a\\..\\x", false}, {"a/..", false},
        {"x\x01", false}, {"x\x7f", false},    {"x\x1b[2J", false},  {"x\ny", false},     {"dir/", false},
        {"dir\\", false}, {".", false},        {"a/.", false},
    };
    for (const NameRules rules : {NameRules::posix, NameRules::windows}) {
        for (const auto& [name, safe] : cases) {
            EXPECT_EQ(is_safe_entry_name(name, rules), safe) << '"' << name << '"';
        }
    }
}

// Windows drops a trailing dot or space from a part and treats device names as devices,
// so such names would be written somewhere other than they say.
TEST(IsSafeEntryName, WindowsRulesRefuseWhatWindowsWouldChange) {
    const struct {
        const char* name;
        bool windows_safe;
    } cases[] = {
        {"a..", false},         {"a.bin.", false},      {"a.bin ", false},      {"dir./x", false},
        {"dir /x", false},      {"dir\\a. \\x", false}, {"sub/con.txt", false}, {"COM\xC2\xB9.bin", false},
        {"lpt\xC2\xB3", false}, {"com\xB2.txt", false}, {"./a", true},          {"COM0", true},
        {"LPT0.txt", true},     {" a", true},           {"a .bin", true},       {"com\xC2\xB9x", true},
        {"COM\xC2\xB4", true},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(is_safe_entry_name(c.name, NameRules::posix)) << c.name;
        EXPECT_EQ(is_safe_entry_name(c.name, NameRules::windows), c.windows_safe) << c.name;
    }
#ifdef _WIN32
    EXPECT_EQ(native_name_rules(), NameRules::windows);
#else
    EXPECT_EQ(native_name_rules(), NameRules::posix);
#endif
}

// Every hostile part in every position, with either separator, and every way to start
// at a root: refused under Windows rules, on every platform the tests run on; the parts
// that are hostile everywhere are refused under POSIX rules too.
TEST(IsSafeEntryName, RefusesGeneratedHostileNames) {
    const std::pair<std::string, bool> parts[] = {
        {"..", true},        {"c:", true},       {"x\x01", true}, {"\x7f", true},
        {"CON", false},      {"nul.txt", false}, {"Aux ", false}, {"COM\xC2\xB9", false},
        {"lpt3.bin", false}, {"a.", false},      {"a ", false},   {"a.bin. ", false},
    };
    std::size_t checked = 0;
    for (const auto& [part, hostile_everywhere] : parts) {
        for (const char separator : {'/', '\\'}) {
            const std::string sep(1, separator);
            for (const std::string& name :
                 {part + sep + "ok.bin", "dir" + sep + part + sep + "ok.bin", "dir" + sep + part}) {
                EXPECT_FALSE(is_safe_entry_name(name, NameRules::windows)) << name;
                if (hostile_everywhere) {
                    EXPECT_FALSE(is_safe_entry_name(name, NameRules::posix)) << name;
                }
                ++checked;
            }
        }
    }
    for (const char* root : {"/", "\\", "//", "\\\\server\\share\\", "C:", "C:\\", "c:/", "\\\\?\\C:\\"}) {
        for (const NameRules rules : {NameRules::posix, NameRules::windows}) {
            EXPECT_FALSE(is_safe_entry_name(std::string(root) + "x.bin", rules)) << root;
        }
    }
    EXPECT_EQ(checked, std::size(parts) * 6);
}

// What --strip-components leaves of a name, as it is spelled: parts that name nothing
// are not counted, and the separators before what is left go, however many there are.
TEST(StrippedName, DropsLeadingPartsThatNameSomething) {
    const struct {
        const char* name;
        u32 count;
        const char* left;
    } cases[] = {
        {"a/b/c", 1, "b/c"}, {"a///b", 1, "b"}, {"./a/b", 1, "b"}, {"a/./b/c", 2, "c"}, {"a//b//c", 2, "c"},
        {"a/b", 2, ""},      {"a", 1, ""},      {"a/b", 0, "a/b"}, {"/a/b", 1, "b"},    {"a/b/", 1, "b/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(stripped_name(c.name, c.count, NameRules::posix), c.left) << c.name << " without " << c.count;
    }
}

TEST(IsReservedDeviceName, MatchesDevicesWithAnyExtensionOrCase) {
    for (const char* name : {"CON", "con", "Nul.txt", "aux.tar.gz", "PRN ", "com1", "LPT9.bin", "conin$", "COM\xC2\xB2",
                             "lpt\xC2\xB9.bin"}) {
        EXPECT_TRUE(is_reserved_device_name(name)) << name;
    }
    for (const char* name : {"CONSOLE", "com", "COM0", "LPT10", "xcon", "nul_", "", "a.con", "COM\xC2\xB9\xC2\xB9"}) {
        EXPECT_FALSE(is_reserved_device_name(name)) << name;
    }
}

}  // namespace
}  // namespace kp
