// Extraction of one entry by the binary: by index number, refusing unsafe names, replacing
// only on complete writes, and entries larger than its memory or past 2 GiB.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "cli/extraction_runs.h"
#include "ops/extraction.h"

namespace kp {
namespace {

using test::chunk_of;
using test::entry;
using test::error_prefix;
using test::read_file;
using test::run_tool;
using test::TempDir;
using test::ToolOptions;
using test::Workspace;
using test::write_file;

TEST(Extraction, PicksTheEntryByIndexNumber) {
    build::Archive plan;
    plan.entries = {
        entry("zero-first.bin", 0, 10, "first"),
        entry("three-early.bin", 3, 20, "early"),
        entry("three-late.bin", 3, 1000, "late"),
        entry("all-ones.bin", 0xFFFFFFFF, 5),
        entry("twelve.bin", 12, 0),
        entry("max.bin", 0x7FFFFFFF, 7),
        entry("min.bin", 0x80000000, 9),
        entry("zero-late.bin", 0, 3, "z"),
    };
    const std::string archive = build::bytes(plan);
    Workspace plain;
    const std::string reports_only = plain.run(archive, "").out;
    // A whole number after FILE is INDEX, read as atoi reads it, and writes the whole
    // chunk; any other word is a name, as tar takes it, and writes the file's own bytes.
    const struct {
        const char* index;
        const char* file;  // null: nothing written
        std::size_t position;
        bool name = false;
    } cases[] = {
        {"3", "three-late.bin", 2},
        {" 3", "three-late.bin", 2},
        {"-1", "all-ones.bin", 3},
        {"99999999999", "max.bin", 5},
        {"-99999999999", "min.bin", 6},
        {"7", nullptr, 0},
        {"4", nullptr, 0},
        {"abc", nullptr, 0, true},
        {"12abc", nullptr, 0, true},
        {"three-late.bin", "three-late.bin", 2, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        Workspace space;
        const test::ToolRun run = space.run(archive, c.index);
        const bool missing = c.name && c.file == nullptr;
        EXPECT_EQ(run.status, missing ? 255 : 0);
        EXPECT_EQ(run.out,
                  reports_only + (missing ? "ERROR: no file named " + std::string(c.index) + " in archive.\n" : ""));
        EXPECT_EQ(run.err, missing ? "kpupdate: no file matches '" + std::string(c.index) + "'\n" : "");
        std::vector<std::string> expected = {"work", "work/a.update"};
        if (c.file != nullptr) {
            expected.push_back("work/" + std::string(c.file));
            const std::string chunk = chunk_of(archive, c.position);
            EXPECT_EQ(read_file(space.in_work(c.file)),
                      c.name ? chunk.substr(0, plan.entries[c.position].size) : chunk);
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(test::tree(space.root.path()), expected);
    }
    Workspace sized;
    sized.run(archive, "3");
    const std::string written = read_file(sized.in_work("three-late.bin"));
    ASSERT_EQ(written.size(), 1024u);
    EXPECT_TRUE(written.starts_with("late"));
}

TEST(Extraction, RefusesUnsafeNamesAndCreatesNothing) {
    const std::string names[] = {
        "",          "/tmp/kpupdate-abs.bin", "\\abs.bin",  "c:x.bin",           "a\x01.bin", "a\x7f.bin", "..",
        "../up.bin", "sub/../../up.bin",      "..\\up.bin", "a\\..\\..\\up.bin",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        Workspace space;
        std::filesystem::create_directory(space.in_work("sub"));
        build::Archive plan;
        plan.entries = {entry(name, 5, 100, "payload")};
        const test::ToolRun run = space.run(build::bytes(plan), "5");
        EXPECT_EQ(run.status, 255);
        EXPECT_TRUE(run.out.ends_with(error_prefix + name + ".\n")) << run.out;
        EXPECT_EQ(test::tree(space.root.path()), (std::vector<std::string>{"work", "work/a.update", "work/sub"}));
        EXPECT_FALSE(std::filesystem::exists("/tmp/kpupdate-abs.bin"));
    }
}

TEST(Extraction, ReplacesOnlyOnCompleteWrites) {
    build::Archive plan;
    // Large enough to be extracted through a view of the update file.
    plan.entries = {entry("out.bin", 1, 200000, "new"), entry("sub/in.bin", 2, 10, "sub"),
                    entry("missing/in.bin", 3, 10)};
    const std::string archive = build::bytes(plan);
    build::Archive no_data = plan;
    no_data.with_data = false;
    const std::string old_contents = "old contents that must survive";
    ToolOptions short_write;
    short_write.file_size_limit = 4096;
    const struct {
        const char* what;
        std::string bytes;
        ToolOptions options;
        bool replaced;
    } cases[] = {
        {"complete", archive, {}, true},
        {"archive cut after the directory", build::bytes(no_data), {}, false},
        {"archive cut inside the chunk", archive.substr(0, 150000), {}, false},
        {"short write", archive, short_write, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.options.file_size_limit != 0 && !test::posix_child_controls) continue;
        Workspace space;
        write_file(space.in_work("out.bin"), old_contents);
        const test::ToolRun run = space.run(c.bytes, "1", c.options);
        EXPECT_EQ(run.status, c.replaced ? 0 : 255);
        EXPECT_EQ(run.out.ends_with(std::string(error_prefix) + "out.bin.\n"), !c.replaced);
        EXPECT_EQ(read_file(space.in_work("out.bin")), c.replaced ? chunk_of(archive, 0) : old_contents);
        EXPECT_EQ(test::tree(space.root.path()), (std::vector<std::string>{"work", "work/a.update", "work/out.bin"}));
    }

    Workspace space;
    std::filesystem::create_directory(space.in_work("sub"));
    EXPECT_EQ(space.run(archive, "2").status, 0);
    EXPECT_EQ(read_file(space.in_work("sub/in.bin")), chunk_of(archive, 1));
    const test::ToolRun missing = space.run(archive, "3");
    EXPECT_EQ(missing.status, 255);
    EXPECT_TRUE(missing.out.ends_with(std::string(error_prefix) + "missing/in.bin.\n"));
    EXPECT_FALSE(std::filesystem::exists(space.in_work("missing")));
}

TEST(Extraction, ReachesChunksPastTwoGibibytes) {
    Workspace space;
    build::Archive plan;
    plan.with_data = false;
    plan.entries = {entry("big.bin", 1, 0x90000000u), entry("far.bin", 2, 100)};
    const std::string far_chunk = "far away" + std::string(504, 'f');
    write_file(space.in_work("a.update"), build::bytes(plan));
    std::filesystem::resize_file(space.in_work("a.update"), 512 + std::uintmax_t{0x90000000u});  // sparse
    std::ofstream(space.in_work("a.update"), std::ios::binary | std::ios::app) << far_chunk;
    ASSERT_EQ(std::filesystem::file_size(space.in_work("a.update")), 512 + 0x90000000ull + 512);
    ToolOptions options;
    options.cwd = space.work;
    const test::ToolRun run = run_tool({"a.update", "2"}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("    2\t     100\t90000200\tfar.bin\n"), std::string::npos);
    EXPECT_EQ(read_file(space.in_work("far.bin")), far_chunk);
}

// Chunks are copied in pieces, so one larger than the process's memory is extracted
// whole: a 32-bit process, and any Windows one, gets an entry above 2 GiB, a 64-bit POSIX
// one too little address space for even a fraction of its entry.
TEST(Extraction, ExtractsChunksLargerThanItsMemory) {
    Workspace space;
    build::Archive plan;
    plan.with_data = false;
    const bool limited = sizeof(void*) == 8 && test::posix_child_controls;
    if (limited && test::address_sanitizer) {
        GTEST_SKIP() << "a sanitized child cannot be given an address-space limit";
    }
    const std::uint32_t size = limited ? 1u << 30 : 0x90000000u;
    plan.entries = {entry("huge.bin", 1, size)};
    ToolOptions options;
    if (limited) options.address_space_limit = 256L << 20;
    options.cwd = space.work;
    const std::string tail = "the end of a large chunk";
    write_file(space.in_work("a.update"), build::bytes(plan));
    std::filesystem::resize_file(space.in_work("a.update"), 512 + std::uintmax_t{size} - tail.size());  // sparse
    std::ofstream(space.in_work("a.update"), std::ios::binary | std::ios::app) << tail;
    const test::ToolRun run = run_tool({"-q", "a.update", "1"}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(test::tree(space.root.path()), (std::vector<std::string>{"work", "work/a.update", "work/huge.bin"}));
    EXPECT_EQ(std::filesystem::file_size(space.in_work("huge.bin")), size);
    std::ifstream written(space.in_work("huge.bin"), std::ios::binary);
    written.seekg(static_cast<std::streamoff>(size - tail.size()));
    std::string end(tail.size(), '\0');
    written.read(end.data(), static_cast<std::streamsize>(end.size()));
    EXPECT_EQ(end, tail);
}

// An archive with nested, duplicate, unsafe and colliding names, whose last chunk is cut
// short by 200 bytes (its first 700 bytes, the file's own, are still there).

}  // namespace
}  // namespace kp
