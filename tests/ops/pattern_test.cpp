#include "ops/pattern.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kp {
namespace {

// Each pattern against the same names, as the selection an -I would make.
TEST(GlobMatch, SelectsNamesLikeAShell) {
    const std::vector<std::string> names = {
        "a.bin", "b.txt", "fw/kernel.img", "fw/sub/deep.bin", "fw/A.BIN", "x*y", "[ab]", "", std::string(88, 'n'),
    };
    const struct {
        std::string pattern;
        std::vector<std::string> posix;    // the names selected under POSIX rules
        std::vector<std::string> windows;  // where Windows rules select others
        bool same = true;
    } cases[] = {
        {"*.bin", {"a.bin"}, {}},
        {"*", {"a.bin", "b.txt", "x*y", "[ab]", "", std::string(88, 'n')}, {}},
        {"fw/*", {"fw/kernel.img", "fw/A.BIN"}, {}},
        {"fw/**", {"fw/kernel.img", "fw/sub/deep.bin", "fw/A.BIN"}, {}},
        {"**/*.bin", {"a.bin", "fw/sub/deep.bin"}, {"a.bin", "fw/sub/deep.bin", "fw/A.BIN"}, false},
        {"**.bin", {"a.bin", "fw/sub/deep.bin"}, {"a.bin", "fw/sub/deep.bin", "fw/A.BIN"}, false},
        {"fw/**/deep.bin", {"fw/sub/deep.bin"}, {}},
        {"**/kernel.img", {"fw/kernel.img"}, {}},
        {"?.bin", {"a.bin"}, {}},
        {"fw?kernel.img", {}, {}},
        {"[ab].*", {"a.bin", "b.txt"}, {}},
        {"[!a].*", {"b.txt"}, {}},
        {"[^ab]*", {"x*y", "[ab]", std::string(88, 'n')}, {}},
        {"fw/[a-z].bin", {}, {"fw/A.BIN"}, false},
        {"fw/[]A]*", {"fw/A.BIN"}, {}},
        {"[A-Z]*", {}, {"a.bin", "b.txt", "x*y", std::string(88, 'n')}, false},
        {"\\[ab[\\]]", {"[ab]"}, {}},
        {"x\\*y", {"x*y"}, {}},
        {"x\\?y", {}, {}},
        {"\\[ab\\]", {"[ab]"}, {}},
        {"[ab]", {}, {}},
        {"[ab", {}, {}},
        {"", {""}, {}},
        {"FW/KERNEL.IMG", {}, {"fw/kernel.img"}, false},
        {std::string(88, 'n'), {std::string(88, 'n')}, {}},
        {std::string(89, 'n'), {}, {}},
        {std::string(200, '*') + "n",
         {"a.bin", "fw/sub/deep.bin", std::string(88, 'n')},
         {"a.bin", "fw/sub/deep.bin", "fw/A.BIN", std::string(88, 'n')},
         false},
        {"*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*x", {}, {}},
        {"**/**/**/deep.bin", {"fw/sub/deep.bin"}, {}},
        {"fw/**/**/*.img", {"fw/kernel.img"}, {}},
        {"**/", {""}, {}},
        {"fw/**/", {}, {}},
        {[] {
             std::string many;
             for (int i = 0; i < 1000; ++i) many += "*a";
             return many + "b";
         }(),
         {},
         {}},
        {std::string(2000, '?'), {}, {}},
        {[] {
             std::string many;
             for (int i = 0; i < 500; ++i) many += "**/";
             return many + "*n";
         }(),
         {"a.bin", "fw/sub/deep.bin", std::string(88, 'n')},
         {"a.bin", "fw/sub/deep.bin", "fw/A.BIN", std::string(88, 'n')},
         false},
        {std::string(88, '?'), {std::string(88, 'n')}, {}},
    };
    for (const auto& c : cases) {
        for (const NameRules rules : {NameRules::posix, NameRules::windows}) {
            std::vector<std::string> selected;
            for (const std::string& name : names) {
                if (glob_match(c.pattern, name, rules)) selected.push_back(name);
            }
            const bool windows = rules == NameRules::windows && !c.same;
            EXPECT_EQ(selected, windows ? c.windows : c.posix)
                << '"' << c.pattern << '"' << (rules == NameRules::windows ? " (Windows)" : "");
        }
    }
}

// An exclusion matches as GNU tar's do: any run of whole parts, at any depth, so that it
// takes a file by its last parts and a directory with everything below it; -I stays
// anchored.
TEST(Exclusions, MatchAnyRunOfWholeParts) {
    const struct {
        std::vector<std::string> patterns;
        std::string name;
        bool excluded;
    } cases[] = {
        {{"*.ko"}, "lib/modules/m/x.ko", true},
        {{"*.ko"}, "x.ko", true},
        {{"*.ko"}, "lib/x.kobj", false},
        {{"m/*.ko"}, "lib/m/x.ko", true},
        {{"m/*.ko"}, "lib/n/x.ko", false},
        {{"lib"}, "lib/m/x.ko", true},
        {{"m"}, "lib/m/x.ko", true},
        {{"lib"}, "libc/x", false},
        {{"ib"}, "lib/x", false},
        {{"sub"}, "sub", true},
        {{"sub"}, "a/sub/x", true},
        {{"lib/*"}, "lib/m/x.ko", true},
        {{"a", "b/c"}, "x/b/c/d", true},
        {{}, "anything", false},
        {{"*"}, "", true},
        {{"x/"}, "x/y", false},
        {{"**/k.ko"}, "lib/k.ko", true},
        {{"lib"}, "lib/", true},
        {{"m/x"}, "m/xy", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_excluded(exclusions_of(c.patterns, NameRules::posix), c.name, NameRules::posix), c.excluded)
            << c.name << " against " << (c.patterns.empty() ? "nothing" : c.patterns[0]);
    }
}

}  // namespace
}  // namespace kp
