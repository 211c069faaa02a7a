// check_archive_file in this process: an update file on disk, loaded and measured through
// its source, as --test checks it.
#include "ops/integrity.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive_builder.h"
#include "fs/stream.h"
#include "ops/pattern.h"
#include "support/run_tool.h"

namespace kp {
namespace {

// Three chunks: 512-1536, 1536-2048 and 2048-3072, so the archive declares 3072 bytes.
build::Archive three_files() {
    build::Archive plan;
    plan.entries = {{"a.bin", 1, 1000, {}, ""}, {"b.bin", 2, 512, {}, ""}, {"c.bin", 3, 700, {}, ""}};
    return plan;
}

// Four entries, so the data region starts at the last record; one name extraction
// refuses, one name and one index number that a later entry hides.
build::Archive noted() {
    build::Archive plan;
    plan.entries = {
        {"../up.bin", 1, 10, {}, ""}, {"x.bin", 2, 10, {}, ""}, {"x.bin", 3, 10, {}, ""}, {"y.bin", 2, 10, {}, ""}};
    return plan;
}

std::string findings(const std::vector<EntryFinding>& found) {
    std::string text;
    for (const EntryFinding& f : found) {
        text += std::to_string(f.position) + ":" + std::to_string(f.bytes) + ">" + std::to_string(f.later) + " ";
    }
    return text;
}

TEST(CheckArchiveFile, MeasuresEveryChunkAgainstTheFile) {
    const std::string whole = build::bytes(three_files());
    ASSERT_EQ(whole.size(), 3072u);
    const std::string with_notes = build::bytes(noted());
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::string> excludes;
        std::string outside;  // position:bytes past the end>0, as findings() puts them
        u64 short_by;
        u64 trailing;
        bool region_in_directory;
        std::string refused;
        std::string repeated_indexes;
        std::string repeated_names;
        std::size_t notes;
    } cases[] = {
        {"whole", whole, {}, "", 0, 0, false, "", "", "", 0},
        {"one byte after the end", whole + "x", {}, "", 0, 1, false, "", "", "", 1},
        {"100 bytes after the end", whole + std::string(100, 'x'), {}, "", 0, 100, false, "", "", "", 1},
        // A chunk's padding counts: the last byte missing is damage though no entry's
        // own byte is gone.
        {"the last byte gone", whole.substr(0, 3071), {}, "2:1>0 ", 1, 0, false, "", "", "", 0},
        {"cut at a chunk boundary", whole.substr(0, 2048), {}, "2:1024>0 ", 1024, 0, false, "", "", "", 0},
        {"cut one byte past a boundary", whole.substr(0, 2049), {}, "2:1023>0 ", 1023, 0, false, "", "", "", 0},
        {"cut one byte before a boundary", whole.substr(0, 2047), {}, "1:1>0 2:1025>0 ", 1025, 0, false, "", "", "", 0},
        {"cut inside the first chunk",
         whole.substr(0, 1000),
         {},
         "0:536>0 1:1048>0 2:2072>0 ",
         2072,
         0,
         false,
         "",
         "",
         "",
         0},
        {"nothing but the records",
         whole.substr(0, 512),
         {},
         "0:1024>0 1:1536>0 2:2560>0 ",
         2560,
         0,
         false,
         "",
         "",
         "",
         0},
        // Exclusions take notes away, damage never.
        {"cut and excluded", whole.substr(0, 2048), {"c.bin"}, "2:1024>0 ", 1024, 0, false, "", "", "", 0},
        {"notes", with_notes, {}, "", 0, 0, true, "0:0>0 ", "1:0>3 ", "1:0>2 ", 4},
        {"notes, the refused name excluded", with_notes, {"../up.bin"}, "", 0, 0, true, "", "1:0>3 ", "1:0>2 ", 3},
        {"notes, the hidden entries excluded", with_notes, {"x.bin"}, "", 0, 0, true, "0:0>0 ", "", "", 2},
        {"notes and bytes after the end", with_notes + "tail", {"*"}, "", 0, 4, true, "", "", "", 2},
    };
    test::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::write_file(dir.file("a.update"), c.bytes);
        SourceFile source;
        ASSERT_TRUE(open_source(source, dir.file("a.update")));
        UpdateArchive archive;
        LoadProblem problem;
        ASSERT_GT(load_archive(archive, source, problem), 0);
        const IntegrityReport report = check_archive_file(archive, source, exclusions_of(c.excludes));
        close_source(source);
        EXPECT_EQ(report.file_length, c.bytes.size());
        EXPECT_EQ(findings(report.outside), c.outside);
        EXPECT_EQ(short_by(report), c.short_by);
        EXPECT_EQ(report.trailing_bytes, c.trailing);
        EXPECT_EQ(report.region_in_directory, c.region_in_directory);
        EXPECT_EQ(findings(report.refused), c.refused);
        EXPECT_EQ(findings(report.repeated_indexes), c.repeated_indexes);
        EXPECT_EQ(findings(report.repeated_names), c.repeated_names);
        EXPECT_EQ(note_count(report), c.notes);
    }
}

}  // namespace
}  // namespace kp
