#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "archive_builder.h"
#include "extract/extraction.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::read_file;
using test::run_tool;
using test::TempDir;
using test::ToolOptions;
using test::write_file;

// A directory "work" holding "a.update"; the tool runs inside it.
struct Workspace {
    TempDir root;
    std::string work = root.file("work");
    Workspace() { std::filesystem::create_directory(work); }
    std::string in_work(const std::string& name) const { return work + "/" + name; }
    // Runs "kpupdate a.update INDEX" after writing the archive; an empty index is left out.
    test::ToolRun run(const std::string& archive_bytes, const std::string& index, ToolOptions options = {}) const {
        write_file(in_work("a.update"), archive_bytes);
        options.cwd = work;
        if (index.empty()) return run_tool({"a.update"}, options);
        return run_tool({"a.update", index}, options);
    }
};

build::Entry entry(std::string name, std::uint32_t index, std::uint32_t size, std::string data = "") {
    return {std::move(name), index, size, {index, 0, 0, 0}, std::move(data)};
}

// The bytes of the chunk at directory `position`, as the loader places it.
std::string chunk_of(const std::string& archive, std::size_t position) {
    std::istringstream in(archive);
    UpdateArchive loaded;
    EXPECT_GT(load_archive(loaded, in), 0);
    const EntryRecord& record = loaded.entries.at(position);
    return archive.substr(record.data_offset, record.chunk_size);
}

const char* const error_prefix = "ERROR: could not extract file ";

TEST(IsSafeEntryName, RefusesPathsOutsideTheDirectory) {
    const std::pair<std::string, bool> cases[] = {
        {"a.bin", true},     {"sub/x.bin", true},  {"..a", true},
        {"a..", true},       {"./a", true},        {std::string(88, 'n'), true},
        {"", false},         {"/etc/x", false},    {"\\x", false},
        {"c:x", false},      {"a:stream", false},  {"..", false},
        {"../x", false},     {"a/../../x", false}, {"a\\..\\x", false},
        {"a/..", false},     {"x\x01", false},     {"x\x7f", false},
        {"x\x1b[2J", false}, {"x\ny", false},
    };
    for (const auto& [name, safe] : cases) EXPECT_EQ(is_safe_entry_name(name), safe) << '"' << name << '"';
}

TEST(IsReservedDeviceName, MatchesDevicesWithAnyExtensionOrCase) {
    for (const char* name : {"CON", "con", "Nul.txt", "aux.tar.gz", "PRN ", "com1", "LPT9.bin", "conin$"}) {
        EXPECT_TRUE(is_reserved_device_name(name)) << name;
    }
    for (const char* name : {"CONSOLE", "com", "COM0", "LPT10", "xcon", "nul_", "", "a.con"}) {
        EXPECT_FALSE(is_reserved_device_name(name)) << name;
    }
#ifdef _WIN32
    EXPECT_FALSE(is_safe_entry_name("sub/con.txt"));
#else
    EXPECT_TRUE(is_safe_entry_name("sub/con.txt"));
#endif  // refused only on Windows
}

TEST(LoadEntryData, RefusesChunksOutsideTheFile) {
    build::Archive plan;
    plan.entries = {entry("a.bin", 1, 1000)};
    const std::string whole = build::bytes(plan);
    for (const std::size_t cut : {whole.size(), whole.size() - 1, std::size_t{512}}) {
        SCOPED_TRACE(cut);
        std::istringstream directory(whole);
        UpdateArchive archive;
        ASSERT_EQ(load_archive(archive, directory), 1);
        std::istringstream in(whole.substr(0, cut));
        EntryRecord* loaded = load_entry_data(archive, in, 1);
        if (cut == whole.size()) {
            ASSERT_NE(loaded, nullptr);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(loaded->data.get()), 1024), whole.substr(512, 1024));
        } else {
            EXPECT_EQ(loaded, nullptr);
            EXPECT_EQ(archive.entries[0].data, nullptr);
        }
    }
}

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
    const struct {
        const char* index;
        const char* file;  // null: nothing written
        std::size_t position;
    } cases[] = {
        {"3", "three-late.bin", 2},
        {"-1", "all-ones.bin", 3},
        {"abc", "zero-late.bin", 7},
        {"12abc", "twelve.bin", 4},
        {"99999999999", "max.bin", 5},
        {"-99999999999", "min.bin", 6},
        {"7", nullptr, 0},
        {"4", nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        Workspace space;
        const test::ToolRun run = space.run(archive, c.index);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, reports_only);
        std::vector<std::string> expected = {"work", "work/a.update"};
        if (c.file != nullptr) {
            expected.push_back("work/" + std::string(c.file));
            EXPECT_EQ(read_file(space.in_work(c.file)), chunk_of(archive, c.position));
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

#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitizer = true;
#elif defined(__has_feature)
constexpr bool address_sanitizer = __has_feature(address_sanitizer);
#else
constexpr bool address_sanitizer = false;
#endif

TEST(Extraction, SurvivesAChunkThatCannotBeAllocated) {
    Workspace space;
    build::Archive plan;
    plan.with_data = false;
    // A 32-bit process cannot hold 3.5 GiB at all; a 64-bit one is given too little
    // address space for either a view of the chunk or a buffer.
    const bool narrow = sizeof(void*) == 4;
    if (!narrow && address_sanitizer) {
        GTEST_SKIP() << "a sanitized child cannot be given an address-space limit";
    }
    const std::uint32_t size = narrow ? 0xE0000000u : 1u << 30;
    plan.entries = {entry("huge.bin", 1, size)};
    ToolOptions small_memory;
    if (!narrow) small_memory.address_space_limit = 256L << 20;
    write_file(space.in_work("a.update"), build::bytes(plan));
    std::filesystem::resize_file(space.in_work("a.update"), 512 + std::uintmax_t{size});  // sparse
    ToolOptions options = small_memory;
    options.cwd = space.work;
    const test::ToolRun run = run_tool({"a.update", "1"}, options);
    EXPECT_EQ(run.status, 255);
    EXPECT_TRUE(run.out.ends_with(std::string(error_prefix) + "huge.bin.\n"));
    EXPECT_EQ(test::tree(space.root.path()), (std::vector<std::string>{"work", "work/a.update"}));
}

}  // namespace
}  // namespace kp
