// An update file read from a pipe, once, gives what the file itself gives; standard output
// opened for appending takes the bytes a file would.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "archive_builder.h"
#include "fs/files_support.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::replaced;
using test::run_tool;
using test::snapshot;
using test::TempDir;

TEST(Streams, PipeGivesWhatTheFileGives) {
    TempDir dir;
    // Four entries: the data region begins at the last directory record, and entry 0 is
    // larger than what one read of a pipe brings. A repeated name, an empty entry.
    build::Archive four;
    four.entries = {{"big.bin", 1, 300000, {1, 0, 0, 0}, "BIG"},
                    {"d/same.txt", 2, 700, {2, 0, 0, 0}, "first"},
                    {"empty", 3, 0, {3, 0, 0, 0}, ""},
                    {"d/same.txt", 4, 900, {4, 0, 0, 0}, "second"}};
    const std::string whole = build::bytes(four);
    const std::string sample = build::bytes(build::sample());
    // A size whose chunk wraps to nothing: reading for its bytes reads the stream to its
    // end, past where the entries after it lie. The empty one needs no byte of it; the
    // last lies past the end, as the file says, though the stream went past its start.
    build::Archive wrapped;
    wrapped.with_data = false;
    wrapped.entries = {{"huge", 1, 0xFFFFFFFF, {1, 0, 0, 0}, ""},
                       {"empty", 2, 0, {2, 0, 0, 0}, ""},
                       {"huge too", 3, 0xFFFFFFFF, {3, 0, 0, 0}, ""}};
    const std::string wrapping = build::bytes(wrapped) + std::string(796, 'x');
    const struct {
        const char* name;
        std::string bytes;
        bool partial;          // cut inside a large entry, which -O has begun to write
        std::size_t pause_at;  // where the writer pauses, so that one read ends there
    } archives[] = {
        // Inside the last directory record, which is also the start of big.bin's chunk.
        {"four", whole, false, 5 * 128 - 50},
        {"sample", sample, false, 0},
        {"cut directory", whole.substr(0, 400), false, 0},
        {"cut in big.bin", whole.substr(0, 100000), true, 0},
        {"cut in the last", whole.substr(0, whole.size() - 100), false, 0},
        {"an empty entry where a wrapped chunk ends", wrapping, true, 0},
    };
    test::write_file(dir.file("old.update"), sample);
    std::filesystem::create_directories(dir.file("tree/d"));
    test::write_file(dir.file("tree/d/same.txt"), "second");
    const std::vector<std::vector<std::string>> option_sets = {
        {"-q"},
        {"-t"},
        {"--json", "-t"},
        {"-l", "-t"},
        {"-q", "4"},
        {"-qa", "-C", "out"},
        {"-qat", "--trim", "-C", "out"},
        {"--json", "-a", "-C", "out"},
        {"-q", "-n", "d/same.txt", "-n", "none", "-C", "out"},
        {"-qt", "-i", "*.bin", "--index=3", "-p", "1", "-C", "out"},
        {"-qa", "-O"},
        {"-qt", "-a", "--trim", "-O"},
        {"-q", "--diff=../old.update"},
        {"--sha256"},
        {"-t", "--diff=../tree"},
        {"--json", "-i", "d/*", "--diff=../tree"},
    };
    for (const auto& archive : archives) {
        test::write_file(dir.file("in.update"), archive.bytes);
        for (const std::vector<std::string>& options : option_sets) {
            std::string shown = archive.name;
            for (const std::string& option : options) shown += " " + option;
            SCOPED_TRACE(shown);
            const bool to_stdout = options.back() == "-O";
            test::ToolRun runs[2];
            std::string files[2];
            for (const int piped : {0, 1}) {
                const std::string work = dir.file(piped ? "piped" : "file");
                std::filesystem::remove_all(work);
                std::filesystem::create_directories(work + "/out");
                test::ToolOptions tool;
                tool.cwd = work;
                std::vector<std::string> args = options;
                args.push_back(piped ? "-" : "../in.update");
                if (piped) tool.stdin_bytes = archive.bytes;
                tool.stdin_pause_at = archive.pause_at;
                runs[piped] = run_tool(args, tool);
                files[piped] = snapshot(work);
            }
            // A stream cut inside a large entry has given standard output what it delivered.
            if (!to_stdout || !archive.partial) {
                EXPECT_EQ(replaced(runs[0].out, "../in.update", "-"), runs[1].out);
            }
            EXPECT_EQ(replaced(runs[0].err, "../in.update", "-"), runs[1].err);
            EXPECT_EQ(runs[0].status, runs[1].status);
            EXPECT_EQ(files[0], files[1]);
        }
    }
}

TEST(Streams, TerminalIsRefused) {
    if (!test::posix_child_controls) GTEST_SKIP() << "needs a terminal for the child";
    test::ToolOptions tool;
    tool.stdin_terminal = true;
    for (const char* file : {"-", "/dev/stdin"}) {
        const test::ToolRun run = run_tool({"-qt", file}, tool);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "kpupdate: refusing to read an update file from a terminal\n");
        EXPECT_EQ(run.status, 255);
    }
}

// Appended to (`>>`), standard output takes no kernel copy: the bytes go through a buffer.
TEST(PortableFileCalls, AppendToStandardOutput) {
    if (!test::posix_child_controls) GTEST_SKIP() << "needs a POSIX child";
    TempDir dir;
    build::Archive plan;
    // From a pipe, a chunk past the stream's 256 KiB buffer is moved inside the kernel
    // where it can be, and through the buffer into a file opened for appending.
    plan.entries = {test::entry("a.bin", 1, 300000, "first"), test::entry("b.bin", 2, 1000, "second")};
    const std::string archive = build::bytes(plan);
    test::write_file(dir.file("a.update"), archive);
    for (const bool piped : {false, true}) {
        SCOPED_TRACE(piped ? "piped" : "file");
        test::write_file(dir.file("out.bin"), "before\n");
        test::ToolOptions options;
        options.stdout_append = dir.file("out.bin");
        if (piped) options.stdin_bytes = archive;
        EXPECT_EQ(test::run_tool({"-O", "-a", "--padded", piped ? "-" : dir.file("a.update")}, options).status, 0);
        EXPECT_EQ(test::read_file(dir.file("out.bin")), "before\n" + archive.substr(512));
    }
}

}  // namespace
}  // namespace kp
