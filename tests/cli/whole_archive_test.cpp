// Extraction of every entry by the binary: once each, to standard output, refusing parts
// that are no directory, keeping targets when a write fails.
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
