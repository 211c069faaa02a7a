// Which entries the selectors pick, and what they miss.
#include "ops/selection.h"

#include <gtest/gtest.h>

#include <sstream>

#include "archive_builder.h"

namespace kp {
namespace {

TEST(SelectEntries, PicksTheUnionOnceEachInDirectoryOrder) {
    build::Archive plan;
    plan.entries = {{"a.bin", 1, 1, {1, 0, 0, 0}, ""},   {"fw/k.img", 7, 1, {2, 0, 0, 0}, ""},
                    {"a.bin", 3, 1, {3, 0, 0, 0}, ""},   {"fw//k.img", 7, 1, {4, 0, 0, 0}, ""},
                    {"z.bin", 9, 1, {5, 0, 0, 0}, ""},   {"./z.bin", 10, 1, {6, 0, 0, 0}, ""},
                    {"b/y.bin", 11, 1, {7, 0, 0, 0}, ""}};
    std::istringstream in(build::bytes(plan));
    UpdateArchive archive;
    ASSERT_EQ(load_archive(archive, in), 7);
    const auto selection = [](auto fill) {
        Selection selection;
        fill(selection);
        return selection;
    };
    const struct {
        const char* what;
        Selection selection;
        std::vector<u32> positions;
        std::vector<std::string_view> names, patterns, indexes, positions_missed;
    } cases[] = {
        {"nothing", {}, {}, {}, {}, {}, {}},
        // Of the entries that write one file, the latest: a//b is a/b, ./z is z.
        {"all", selection([](Selection& s) { s.all = true; }), {2, 3, 5, 6}, {}, {}, {}, {}},
        {"INDEX, the latest carrying it", selection([](Selection& s) { s.index = 7; }), {3}, {}, {}, {}, {}},
        {"a name, the latest of it",
         selection([](Selection& s) {
             s.names = {"a.bin", "gone"};
         }),
         {2},
         {"gone"},
         {},
         {},
         {}},
        {"patterns",
         selection([](Selection& s) {
             s.patterns = {"*.bin", "**/*.img", "none*"};
         }),
         {2, 3, 4},
         {},
         {"none*"},
         {},
         {}},
        {"index numbers",
         selection([](Selection& s) {
             s.indexes = {{1, "1"}, {8, "8"}};
         }),
         {0},
         {},
         {},
         {"8"},
         {}},
        // A position reaches an entry a later one hides, unless both are picked.
        {"positions",
         selection([](Selection& s) {
             s.positions = {{0, "0"}, {7, "7"}};
         }),
         {0},
         {},
         {},
         {},
         {"7"}},
        {"a position and the name that hides it",
         selection([](Selection& s) {
             s.positions = {{0, "0"}};
             s.names = {"a.bin"};
         }),
         {2},
         {},
         {},
         {},
         {}},
        // fw//k.img is not fw/k.img to a pattern, which matches the name as it is spelled.
        {"one part under a directory",
         selection([](Selection& s) { s.patterns = {"*/*"}; }),
         {1, 5, 6},
         {},
         {},
         {},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const SelectedEntries selected = select_entries(archive, c.selection);
        EXPECT_EQ(selected.positions, c.positions);
        EXPECT_EQ(selected.missing.names, c.names);
        EXPECT_EQ(selected.missing.patterns, c.patterns);
        EXPECT_EQ(selected.missing.indexes, c.indexes);
        EXPECT_EQ(selected.missing.positions, c.positions_missed);
    }
    // A pattern that misses for '*' stopping at '/' counts what "**/" before it would match.
    Selection top;
    top.patterns = {"*.img", "**/none"};
    const SelectedEntries deeper = select_entries(archive, top);
    EXPECT_EQ(deeper.missing.deeper_matches, (std::vector<std::size_t>{2, 0}));

    const SelectionMisses one{{"a", "b"}, {"o", "p"}, {"1"}, {}, {1, 2}, {"m", "n"}, {}};
    const SelectionMisses other{{"b"}, {"p", "q"}, {}, {"3"}, {0, 0}, {"n"}, {}};
    const SelectionMisses both = missed_by_both(one, other);
    EXPECT_EQ(both.names, std::vector<std::string_view>{"b"});
    EXPECT_EQ(both.members, std::vector<std::string_view>{"n"});
    EXPECT_EQ(both.patterns, std::vector<std::string_view>{"p"});
    EXPECT_EQ(both.deeper_matches, std::vector<std::size_t>{2});
    EXPECT_TRUE(both.indexes.empty() && both.positions.empty());
}

}  // namespace
}  // namespace kp
