#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "archive_builder.h"
#include "ops/extraction.h"
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
    // Runs "kpupdate ARGS..." after writing the archive as a.update.
    test::ToolRun run_with(const std::string& archive_bytes, const std::vector<std::string>& args,
                           ToolOptions options = {}) const {
        write_file(in_work("a.update"), archive_bytes);
        options.cwd = work;
        return run_tool(args, options);
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

TEST(ByteRange, TellsWhetherAnEntryLiesInsideTheFile) {
    build::Archive plan;
    plan.entries = {entry("a.bin", 1, 1000)};
    const std::string whole = build::bytes(plan);
    std::istringstream in(whole);
    UpdateArchive archive;
    ASSERT_EQ(load_archive(archive, in), 1);
    const struct {
        u64 file_length;
        bool padded;
        bool inside;
        u64 size;
    } cases[] = {
        {whole.size(), true, true, 1024}, {whole.size() - 1, true, false, 1024}, {512, true, false, 1024},
        {512 + 1000, false, true, 1000},  {512 + 999, false, false, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.file_length << (c.padded ? " padded" : ""));
        const ByteRange range = written_bytes(archive.entries[0], c.padded);
        EXPECT_EQ(range.lies_within(c.file_length), c.inside);
        EXPECT_EQ(range.past(c.file_length), c.inside ? 0 : range.end() - c.file_length);
        EXPECT_EQ(range.offset, 512u);
        EXPECT_EQ(range.size, c.size);
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
struct MixedArchive {
    build::Archive plan;
    std::string whole;  // before the cut
    std::string bytes;
    MixedArchive() {
        plan.entries = {
            entry("a.bin", 1, 1000, "alpha"),
            entry("fw/kernel.img", 2, 3000, "kernel"),
            entry("dup.bin", 3, 10, "first"),
            entry("../up.bin", 4, 10, "up"),
            entry("fw/sub/deep.bin", 5, 600, "deep"),
            entry("dup.bin", 6, 20, "second"),
            entry("empty.bin", 7, 0),
            entry("last.bin", 8, 700, "last"),
        };
        whole = build::bytes(plan);
        bytes = whole.substr(0, whole.size() - 200);
    }
    // What every run that loads it says first, on standard error.
    const std::string cut_warning =
        "kpupdate: warning: a.update ends 200 bytes before the 8704 its header declares; "
        "'--test' names the files cut short\n";
    std::string chunk(std::size_t position) const { return chunk_of(whole, position); }
    std::string own(std::size_t position) const { return chunk(position).substr(0, plan.entries[position].size); }
};

std::string extract_errors(std::initializer_list<const char*> names) {
    std::string out;
    for (const char* name : names) out += std::string(error_prefix) + name + ".\n";
    return out;
}

TEST(WholeArchive, ExtractsEverySelectedEntryOnce) {
    const MixedArchive mixed;
    const std::vector<std::string> nested = {
        "work/out/a.bin",         "work/out/dup.bin", "work/out/empty.bin",      "work/out/fw",
        "work/out/fw/kernel.img", "work/out/fw/sub",  "work/out/fw/sub/deep.bin"};
    std::vector<std::string> every = nested;  // last.bin's own bytes are there, its chunk is cut
    every.push_back("work/out/last.bin");
    const struct {
        const char* what;
        std::vector<std::string> args;
        int status;
        std::string out;
        std::vector<std::string> written;  // besides work, work/a.update and work/out
        std::vector<std::pair<std::string, std::string>> contents;
    } cases[] = {
        // Every form writes each file's own bytes, but INDEX alone; --padded writes chunks.
        {"all",
         {"-q", "-a", "-C", "out", "a.update"},
         255,
         extract_errors({"../up.bin"}),
         every,
         {{"out/a.bin", mixed.own(0)}, {"out/last.bin", mixed.own(7)}, {"out/empty.bin", ""}}},
        {"all, padded",
         {"-q", "-a", "--padded", "-C", "out", "a.update"},
         255,
         extract_errors({"../up.bin", "last.bin"}),
         nested,
         {{"out/a.bin", mixed.chunk(0)}, {"out/dup.bin", mixed.chunk(5)}, {"out/fw/sub/deep.bin", mixed.chunk(4)}}},
        {"all, trimmed",
         {"-qa", "--trim", "--directory=out", "a.update"},
         255,
         extract_errors({"../up.bin"}),
         every,
         {{"out/a.bin", mixed.own(0)}, {"out/last.bin", mixed.own(7)}, {"out/empty.bin", ""}}},
        {"names and a missing one",
         {"-q", "-n", "fw/sub/deep.bin", "-n", "nothere", "--name", "dup.bin", "-C", "out", "a.update"},
         255,
         "ERROR: no file named nothere in archive.\n",
         {"work/out/dup.bin", "work/out/fw", "work/out/fw/sub", "work/out/fw/sub/deep.bin"},
         {{"out/dup.bin", mixed.own(5)}, {"out/fw/sub/deep.bin", mixed.own(4)}}},
        {"names, padded",
         {"-q", "--padded", "-n", "fw/sub/deep.bin", "--name", "dup.bin", "-C", "out", "a.update"},
         0,
         "",
         {"work/out/dup.bin", "work/out/fw", "work/out/fw/sub", "work/out/fw/sub/deep.bin"},
         {{"out/dup.bin", mixed.chunk(5)}, {"out/fw/sub/deep.bin", mixed.chunk(4)}}},
        {"names after FILE, as tar takes them",
         {"-q", "-C", "out", "a.update", "fw/sub/deep.bin", "dup.bin"},
         0,
         "",
         {"work/out/dup.bin", "work/out/fw", "work/out/fw/sub", "work/out/fw/sub/deep.bin"},
         {{"out/dup.bin", mixed.own(5)}, {"out/fw/sub/deep.bin", mixed.own(4)}}},
        {"names after FILE, padded",
         {"-q", "--padded", "-C", "out", "a.update", "dup.bin"},
         0,
         "",
         {"work/out/dup.bin"},
         {{"out/dup.bin", mixed.chunk(5)}}},
        {"patterns and one that matches nothing",
         {"-q", "-I", "fw/**", "--include=e*.bin", "-I", "nomatch*", "-C", "out", "a.update"},
         255,
         "ERROR: no file matches nomatch* in archive.\n",
         {"work/out/empty.bin", "work/out/fw", "work/out/fw/kernel.img", "work/out/fw/sub", "work/out/fw/sub/deep.bin"},
         {{"out/fw/kernel.img", mixed.own(1)}}},
        {"positions and index numbers",
         {"-q", "-p", "0", "--index", "2", "-C", "out", "a.update"},
         0,
         "",
         {"work/out/a.bin", "work/out/fw", "work/out/fw/kernel.img"},
         {{"out/a.bin", mixed.own(0)}, {"out/fw/kernel.img", mixed.own(1)}}},
        {"index and name of one entry",
         {"-q", "-n", "a.bin", "-C", "out", "a.update", "1"},
         0,
         "",
         {"work/out/a.bin"},
         {{"out/a.bin", mixed.own(0)}}},
        {"index alone makes no directory",
         {"-q", "-C", "out", "a.update", "2"},
         255,
         extract_errors({"fw/kernel.img"}),
         {},
         {}},
        {"index alone, its whole chunk",
         {"-q", "-C", "out", "a.update", "1"},
         0,
         "",
         {"work/out/a.bin"},
         {{"out/a.bin", mixed.chunk(0)}}},
        {"index alone, trimmed",
         {"-q", "--trim", "a.update", "8"},
         0,
         "",
         {"work/last.bin"},
         {{"last.bin", mixed.own(7)}}},
        {"quiet, nothing selected", {"-q", "a.update"}, 0, "", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Workspace space;
        std::filesystem::create_directory(space.in_work("out"));
        const test::ToolRun run = space.run_with(mixed.bytes, c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        // Each file not extracted says why on standard error, in the same order.
        std::string reasons;
        for (std::size_t at = run.out.find(error_prefix); at != std::string::npos;
             at = run.out.find(error_prefix, at + 1)) {
            const std::size_t start = at + std::strlen(error_prefix);
            reasons += "kpupdate: " + run.out.substr(start, run.out.find(".\n", start) - start) + ": ";
        }
        ASSERT_TRUE(run.err.ends_with(mixed.cut_warning)) << run.err;
        const std::string err = run.err.substr(0, run.err.size() - mixed.cut_warning.size());
        std::string reasons_said;
        for (std::size_t at = 0; at < err.size(); at = err.find('\n', at) + 1) {
            reasons_said += err.substr(at, err.find(": ", err.find(": ", at) + 2) + 2 - at);
        }
        EXPECT_EQ(reasons_said, reasons) << run.err;
        std::vector<std::string> expected = c.written;
        for (const char* always : {"work", "work/a.update", "work/out"}) expected.push_back(always);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(test::tree(space.root.path()), expected);
        for (const auto& [name, bytes] : c.contents) EXPECT_EQ(read_file(space.in_work(name)), bytes) << name;
    }

    // Reports first, as for an index number; the files go to the current directory.
    Workspace space;
    const test::ToolRun loud = space.run_with(mixed.bytes, {"-a", "a.update"});
    EXPECT_EQ(loud.status, 255);
    EXPECT_EQ(loud.out, space.run(mixed.bytes, "").out + extract_errors({"../up.bin"}));
    EXPECT_EQ(read_file(space.in_work("fw/sub/deep.bin")), mixed.own(4));
}

TEST(WholeArchive, WritesToStandardOutput) {
    const MixedArchive mixed;
    const std::string no_such_file = std::make_error_code(std::errc::no_such_file_or_directory).message();
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {{"-O", "--padded", "-a", "a.update"},
         255,
         mixed.chunk(0) + mixed.chunk(1) + mixed.chunk(3) + mixed.chunk(4) + mixed.chunk(5),  // empty.bin adds nothing
         extract_errors({"last.bin"}) +
             "kpupdate: last.bin: its chunk reaches 200 bytes past the end of the update file\n"},
        {{"-O", "-a", "a.update"},
         0,
         mixed.own(0) + mixed.own(1) + mixed.own(3) + mixed.own(4) + mixed.own(5) + mixed.own(7),
         ""},
        {{"-O", "--trim", "-a", "a.update"},
         0,
         mixed.own(0) + mixed.own(1) + mixed.own(3) + mixed.own(4) + mixed.own(5) + mixed.own(7),
         ""},
        {{"--stdout", "-n", "a.bin", "a.update", "5"}, 0, mixed.own(0) + mixed.own(4), ""},
        {{"-O", "a.update", "1"}, 0, mixed.own(0), ""},
        {{"-O", "a.update", "fw/kernel.img", "a.bin"}, 0, mixed.own(0) + mixed.own(1), ""},
        {{"-O", "a.update", "99"}, 0, "", ""},
        {{"-O", "-n", "x", "a.update"}, 255, "", "ERROR: no file named x in archive.\n"},
        {{"-O", "b.update", "1"},
         255,
         "",
         "ERROR: could not load file b.update.\nkpupdate: b.update: " + no_such_file + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1]);
        Workspace space;
        test::ToolOptions colour;
        colour.env = {{"CLICOLOR_FORCE", "1"}};  // messages on standard error stay plain
        const test::ToolRun run = space.run_with(mixed.bytes, c.args, colour);
        EXPECT_EQ(run.status, c.status);
        EXPECT_TRUE(run.out == c.out) << run.out.size() << " bytes instead of " << c.out.size();
        const bool loaded = c.args.back() != "b.update" && c.args[c.args.size() - 2] != "b.update";
        EXPECT_EQ(run.err, c.err + (loaded ? mixed.cut_warning : ""));
        EXPECT_EQ(test::tree(space.root.path()), (std::vector<std::string>{"work", "work/a.update"}));
    }
}

// A part that exists and is no directory, or that leads elsewhere, fails its entry; the
// other entries are still written, and nothing appears outside the target.
TEST(WholeArchive, RefusesPartsThatAreNoDirectory) {
    Workspace space;
    std::filesystem::create_directory(space.in_work("out"));
    std::filesystem::create_directory(space.root.file("outside"));
    build::Archive plan;
    plan.entries = {entry("fw/a.bin", 1, 10), entry("fw", 2, 10), entry("x", 3, 10), entry("x/y.bin", 4, 10),
                    entry("link/z.bin", 5, 10)};
    std::vector<std::string> expected = {"outside",           "work",      "work/a.update", "work/out", "work/out/fw",
                                         "work/out/fw/a.bin", "work/out/x"};
    std::string errors = extract_errors({"fw", "x/y.bin"});
    std::string reasons;
    if (test::posix_child_controls) {  // links need privileges on Windows
        std::filesystem::create_directory_symlink(space.root.file("outside"), space.in_work("out/link"));
        expected.push_back("work/out/link");
        errors += extract_errors({"link/z.bin"});
        reasons = "kpupdate: link/z.bin: link: not a directory (a file, or a link)\n";  // not "Too many levels"
    } else {
        expected.push_back("work/out/link");
        expected.push_back("work/out/link/z.bin");
    }
    std::sort(expected.begin(), expected.end());
    const test::ToolRun run = space.run_with(build::bytes(plan), {"-q", "-a", "-C", "out", "a.update"});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, errors);
    EXPECT_TRUE(run.err.ends_with(reasons)) << run.err;
    EXPECT_EQ(test::tree(space.root.path()), expected);
}

// A write cut short (a file-size limit) fails that entry alone: the file it would have
// replaced keeps its contents, and no temporary file is left behind.
TEST(WholeArchive, KeepsTargetsWhenAWriteFails) {
    if (!test::posix_child_controls) GTEST_SKIP() << "needs a file-size limit";
    Workspace space;
    std::filesystem::create_directory(space.in_work("out"));
    write_file(space.in_work("out/big.bin"), "old contents");
    build::Archive plan;
    plan.entries = {entry("big.bin", 1, 200000, "new"), entry("small.bin", 2, 10, "small")};
    const std::string archive = build::bytes(plan);
    ToolOptions limited;
    limited.file_size_limit = 4096;
    const test::ToolRun run = space.run_with(archive, {"-q", "-a", "-C", "out", "a.update"}, limited);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, extract_errors({"big.bin"}));
    EXPECT_EQ(read_file(space.in_work("out/big.bin")), "old contents");
    EXPECT_EQ(read_file(space.in_work("out/small.bin")), chunk_of(archive, 1).substr(0, 10));
    EXPECT_EQ(test::tree(space.root.path()), (std::vector<std::string>{"work", "work/a.update", "work/out",
                                                                       "work/out/big.bin", "work/out/small.bin"}));
}

}  // namespace
}  // namespace kp
