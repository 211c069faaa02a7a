// compare_archives in this process: two update files on disk, each loaded and read through
// its own source, as --diff reads them.
#include "ops/compare.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "archive_builder.h"
#include "fs/stream.h"
#include "ops/selection.h"
#include "support/run_tool.h"

namespace kp {
namespace {

// Every file's bytes given whole: the builder's filling depends on the position, and a
// row that adds or moves an entry must not change the bytes of the others.
build::Archive old_side() {
    build::Archive plan;
    plan.version = "fw 1";
    plan.entries = {{"a.bin", 1, 1000, {1, 2, 3, 4}, std::string(1000, 'a')},
                    {"big.bin", 2, 300000, {5, 6, 7, 8}, std::string(300000, 'b')},
                    {"notes.txt", 3, 10, {9, 9, 9, 9}, "notes-0123"}};
    return plan;
}

// An update file written to `path`, loaded from there and held open.
struct Side {
    UpdateArchive archive;
    SourceFile source;
    std::vector<u32> latest;
    Side(const std::string& path, const std::string& bytes) {
        test::write_file(path, bytes);
        EXPECT_TRUE(open_source(source, path));
        LoadProblem problem;
        EXPECT_GT(load_archive(archive, source, problem), 0) << path;
        Selection all;
        all.all = true;
        latest = select_entries(archive, all).positions;
    }
    ~Side() { close_source(source); }
    Side(const Side&) = delete;
    Side& operator=(const Side&) = delete;
};

std::vector<std::string> names(const std::vector<DiffEntry>& entries) {
    std::vector<std::string> found;
    for (const DiffEntry& entry : entries) found.push_back(entry.name);
    return found;
}

// What a change row says, in one line: the fields a renderer prints.
std::string describe(const DiffEntry& change) {
    std::string text = change.name;
    if (change.index_differs) text += " index " + std::to_string(change.old_index) + ">" + std::to_string(change.index);
    if (change.size_differs) text += " size " + std::to_string(change.old_size) + ">" + std::to_string(change.size);
    if (change.signatures != 0) text += " signatures " + std::to_string(change.signatures);
    if (change.bytes_differ) text += " bytes";
    if (change.first_difference) text += " at " + std::to_string(*change.first_difference);
    return text;
}

std::string describe(const std::vector<DiffDamage>& damaged) {
    std::string text;
    for (const DiffDamage& d : damaged) {
        text += d.name + (d.old_side ? " old " : " new ") + std::to_string(d.past_end) + ";";
    }
    return text;
}

// `bytes` without its last `missing`.
std::string cut(std::string bytes, std::size_t missing) {
    bytes.resize(bytes.size() - missing);
    return bytes;
}

TEST(CompareArchives, FindsWhatChangedFieldByField) {
    const auto with = [](const std::function<void(build::Archive&)>& change) {
        build::Archive plan = old_side();
        change(plan);
        return build::bytes(plan);
    };
    const std::string same = build::bytes(old_side());
    // notes.txt is last: its 10 bytes lie 502 bytes before the file's padded end.
    const struct {
        const char* what;
        std::string fresh;
        std::string old;
        bool version_differs;
        std::vector<std::string> added;
        std::vector<std::string> removed;
        std::vector<std::string> changed;  // as describe() puts them
        std::string damaged;
        u64 same;
    } cases[] = {
        {"nothing", same, same, false, {}, {}, {}, "", 3},
        {"the version", with([](auto& p) { p.version = "fw 2"; }), same, true, {}, {}, {}, "", 3},
        {"the order of the entries",
         with([](auto& p) { std::swap(p.entries[0], p.entries[2]); }),
         same,
         false,
         {},
         {},
         {},
         "",
         3},
        // Two, since with four entries the data region would start at the last record.
        {"entries added",
         with([](auto& p) {
             p.entries.push_back({"new.bin", 4, 3, {}, "new"});
             p.entries.push_back({"more.bin", 5, 4, {}, "more"});
         }),
         same,
         false,
         {"new.bin", "more.bin"},
         {},
         {},
         "",
         3},
        {"an entry removed",
         with([](auto& p) { p.entries.erase(p.entries.begin()); }),
         same,
         false,
         {},
         {"a.bin"},
         {},
         "",
         2},
        {"an index number",
         with([](auto& p) { p.entries[2].index = 9; }),
         same,
         false,
         {},
         {},
         {"notes.txt index 3>9"},
         "",
         2},
        {"a second signature",
         with([](auto& p) { p.entries[0].signature[1] = 0; }),
         same,
         false,
         {},
         {},
         {"a.bin signatures 2"},
         "",
         2},
        {"first and fourth signatures",
         with([](auto& p) {
             p.entries[0].signature = {0, 2, 3, 0};
         }),
         same,
         false,
         {},
         {},
         {"a.bin signatures 9"},
         "",
         2},
        // Alike as far as the shorter goes: they differ where it ends, as cmp says.
        {"a size, shorter",
         with([](auto& p) {
             p.entries[2] = {"notes.txt", 3, 8, {9, 9, 9, 9}, "notes-01"};
         }),
         same,
         false,
         {},
         {},
         {"notes.txt size 10>8 bytes at 8"},
         "",
         2},
        {"a size and a byte",
         with([](auto& p) {
             p.entries[2] = {"notes.txt", 3, 12, {9, 9, 9, 9}, "notes-X123ab"};
         }),
         same,
         false,
         {},
         {},
         {"notes.txt size 10>12 bytes at 6"},
         "",
         2},
        {"the first byte",
         with([](auto& p) { p.entries[0].data[0] = 'z'; }),
         same,
         false,
         {},
         {},
         {"a.bin bytes at 0"},
         "",
         2},
        {"the last byte",
         with([](auto& p) { p.entries[0].data[999] = 'z'; }),
         same,
         false,
         {},
         {},
         {"a.bin bytes at 999"},
         "",
         2},
        {"a byte past the first piece read",
         with([](auto& p) { p.entries[1].data[200000] = 'z'; }),
         same,
         false,
         {},
         {},
         {"big.bin bytes at 200000"},
         "",
         2},
        // Damage on either side: never the same, never a difference of bytes nobody read.
        {"the new side cut in notes.txt", cut(same, 505), same, false, {}, {}, {}, "notes.txt new 3;", 2},
        {"the old side cut in notes.txt", same, cut(same, 505), false, {}, {}, {}, "notes.txt old 3;", 2},
        {"the new side cut, its index changed too",
         cut(with([](auto& p) { p.entries[2].index = 9; }), 505),
         same,
         false,
         {},
         {},
         {"notes.txt index 3>9"},
         "notes.txt new 3;",
         2},
        {"the old side cut where the new one has no entry",
         with([](auto& p) { p.entries.pop_back(); }),
         cut(same, 505),
         false,
         {},
         {"notes.txt"},
         {},
         "notes.txt old 3;",
         2},
    };
    test::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Side fresh(dir.file("new.update"), c.fresh);
        Side old(dir.file("old.update"), c.old);
        DiffReport report;
        compare_archives(fresh.archive, fresh.latest, fresh.source, old.archive, old.latest, old.source, report);
        EXPECT_EQ(report.passed, DiffSide::none);
        EXPECT_EQ(report.version_differs, c.version_differs);
        EXPECT_EQ(names(report.added), c.added);
        EXPECT_EQ(names(report.removed), c.removed);
        std::vector<std::string> changed;
        for (const DiffEntry& change : report.changed) changed.push_back(describe(change));
        EXPECT_EQ(changed, c.changed);
        EXPECT_EQ(describe(report.damaged), c.damaged);
        EXPECT_EQ(report.same, c.same);
    }
}

}  // namespace
}  // namespace kp
