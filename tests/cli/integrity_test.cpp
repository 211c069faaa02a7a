#include "ops/integrity.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "archive_builder.h"
#include "support/run_tool.h"

namespace kp {
namespace {

// Three chunks: 512-1536, 1536-2048 and 2048-3072, so the archive declares 3072 bytes.
build::Archive three_files() {
    build::Archive plan;
    plan.entries = {
        {"a.bin", 1, 1000, {1, 0, 0, 0}, ""}, {"b.bin", 2, 512, {2, 0, 0, 0}, ""}, {"c.bin", 3, 700, {3, 0, 0, 0}, ""}};
    return plan;
}

const std::string title = "\n--- Test of the file: ---\n";

// A download cut short anywhere, or with bytes after it: each chunk not wholly in the
// file is damage, and the summary says by how much the file is short.
TEST(TestOption, FindsChunksOutsideAShortFile) {
    const std::string whole = build::bytes(three_files());
    ASSERT_EQ(whole.size(), 3072u);
    const struct {
        const char* what;
        std::string bytes;
        int status;
        std::string report;
    } cases[] = {
        {"cut inside the first chunk", whole.substr(0, 1000), 254,
         "DAMAGE: entry 0 (index 1) a.bin reaches 536 bytes past the end of the file.\n"
         "DAMAGE: entry 1 (index 2) b.bin reaches 1048 bytes past the end of the file.\n"
         "DAMAGE: entry 2 (index 3) c.bin reaches 2072 bytes past the end of the file.\n"
         "DAMAGED: 3 of 3 files lie outside the file (short by 2072 bytes).\n"},
        {"cut inside the last chunk", whole.substr(0, 2500), 254,
         "DAMAGE: entry 2 (index 3) c.bin reaches 572 bytes past the end of the file.\n"
         "DAMAGED: 1 of 3 files lies outside the file (short by 572 bytes).\n"},
        {"cut at a chunk boundary", whole.substr(0, 2048), 254,
         "DAMAGE: entry 2 (index 3) c.bin reaches 1024 bytes past the end of the file.\n"
         "DAMAGED: 1 of 3 files lies outside the file (short by 1024 bytes).\n"},
        {"whole", whole, 0, "OK: 3 files, no damage found.\n"},
        {"bytes after the end", whole + std::string(100, 'x'), 0,
         "note: 100 bytes after the declared end of the archive.\n"
         "OK: 3 files, no damage found; 1 note.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        test::write_file(dir.file("a.update"), c.bytes);
        test::ToolOptions options;
        options.cwd = dir.path();
        const test::ToolRun run = test::run_tool({"-q", "--test", "a.update"}, options);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, title + c.report);

        const test::ToolRun json = test::run_tool({"--json", "-t", "a.update"}, options);
        EXPECT_EQ(json.status, c.status);
        const nlohmann::json found = nlohmann::json::parse(json.out).at("test");
        EXPECT_EQ(found.at("damaged"), c.status != 0);
        EXPECT_EQ(found.at("file_length"), c.bytes.size());
        EXPECT_EQ(found.at("declared_end"), 3072u);
        EXPECT_EQ(found.at("short_by"), c.bytes.size() < 3072 ? 3072 - c.bytes.size() : 0);
    }
}

// The notes, alone and together, with the damage and mismatches they are counted beside.
// An empty file needs no byte of the update file: it is never damage, wherever its
// offset lies, and it extracts as an empty file from a file cut short before it.
TEST(TestOption, NeverCallsAnEmptyFileDamaged) {
    build::Archive plan = three_files();
    plan.entries.push_back({"empty.bin", 4, 0, {4, 0, 0, 0}, ""});
    const std::string cut = build::bytes(plan).substr(0, 2048);  // c.bin cut, empty.bin past the end
    test::TempDir dir;
    test::write_file(dir.file("a.update"), cut);
    test::ToolOptions options;
    options.cwd = dir.path();
    const std::string report = test::run_tool({"-q", "--test", "a.update"}, options).out;
    EXPECT_EQ(report.find("empty.bin"), std::string::npos) << report;
    EXPECT_NE(report.find("DAMAGED: 1 of 4 files lies outside the file (short by 1024 bytes)"), std::string::npos)
        << report;
    EXPECT_EQ(test::run_tool({"-q", "a.update", "empty.bin"}, options).status, 0);
    EXPECT_EQ(test::read_file(dir.file("empty.bin")), "");
}

TEST(TestOption, NotesWhatExtractionWouldMeet) {
    const struct {
        const char* what;
        std::vector<build::Entry> entries;
        std::size_t cut;  // bytes taken off the end
        std::string report;
    } cases[] = {
        {"a refused name",
         {{"../x.bin", 1, 10, {1, 0, 0, 0}, ""}, {"b.bin", 2, 10, {2, 0, 0, 0}, ""}},
         0,
         "note: entry 0 (index 1) ../x.bin has a name that extraction would refuse.\n"
         "OK: 2 files, no damage found; 1 note.\n"},
        {"a repeated index number",
         {{"a.bin", 7, 10, {1, 0, 0, 0}, ""}, {"b.bin", 7, 10, {2, 0, 0, 0}, ""}},
         0,
         "note: entry 0 (index 7) a.bin cannot be selected by its index number: entry 1 carries it too.\n"
         "OK: 2 files, no damage found; 1 note.\n"},
        {"a repeated name",
         {{"a.bin", 1, 10, {1, 0, 0, 0}, ""}, {"a.bin", 2, 10, {2, 0, 0, 0}, ""}},
         0,
         "note: entry 0 (index 1) a.bin is not written by --all: entry 1 has its name too.\n"
         "OK: 2 files, no damage found; 1 note.\n"},
        {"everything",
         {{"a.bin", 5, 10, {1, 1, 0, 0}, ""},
          {"/abs", 5, 10, {1, 2, 0, 0}, ""},
          {"a.bin", 6, 10, {1, 1, 0, 0}, ""},
          {"d.bin", 6, 600, {4, 0, 0, 0}, ""}},
         100,
         "2nd data mismatch at (5) /abs.\n" + title +
             "DAMAGE: entry 3 (index 6) d.bin reaches 100 bytes past the end of the file.\n"
             "note: the data region begins inside the directory: entry 0 starts with the last directory record.\n"
             "note: entry 1 (index 5) /abs has a name that extraction would refuse.\n"
             "note: entry 0 (index 5) a.bin cannot be selected by its index number: entry 1 carries it too.\n"
             "note: entry 2 (index 6) a.bin cannot be selected by its index number: entry 3 carries it too.\n"
             "note: entry 0 (index 5) a.bin is not written by --all: entry 2 has its name too.\n"
             "DAMAGED: 1 of 4 files lies outside the file (short by 100 bytes); 5 notes, 1 second-signature "
             "mismatch.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        build::Archive plan;
        plan.entries = c.entries;
        const std::string bytes = build::bytes(plan);
        test::TempDir dir;
        test::write_file(dir.file("a.update"), bytes.substr(0, bytes.size() - c.cut));
        test::ToolOptions options;
        options.cwd = dir.path();
        const test::ToolRun run = test::run_tool({"-qt", "a.update"}, options);
        EXPECT_EQ(run.status, c.cut != 0 ? 254 : 0);
        EXPECT_EQ(run.out, c.report.starts_with("2nd") ? c.report : title + c.report);
    }
}

}  // namespace
}  // namespace kp
