#include "report/progress.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "archive_builder.h"
#include "support/run_tool.h"

namespace kp {
namespace {

// One entry just over the size worth a progress line, sparse on disk, and a small one.
struct ProgressArchives {
    test::TempDir dir;
    ProgressArchives() {
        build::Archive large;
        large.with_data = false;
        large.entries = {{"large.bin", 1, static_cast<std::uint32_t>(progress_bytes_worth_showing) + 512, {1}, ""}};
        test::write_file(dir.file("large.update"), build::bytes(large));
        std::filesystem::resize_file(dir.file("large.update"), 512 + progress_bytes_worth_showing + 512);
        build::Archive small;
        small.entries = {{"small.bin", 1, 10, {1}, ""}};
        test::write_file(dir.file("small.update"), build::bytes(small));
    }
};

// Standard output is the same with the line or without; the line goes to standard error
// only where it is asked for, and is taken off the screen at the end. --create measures
// each file only as it reads it: its line shows once the bytes done are many.
TEST(Progress, ShowsOnATerminalForLargeWorkOnly) {
    ProgressArchives archives;
    const struct {
        const char* what;
        std::vector<std::string> args;
        bool terminal;
        bool shown;
        std::string first = "\rkpupdate: 0.0 of ";  // how the line begins
    } cases[] = {
        {"terminal, large", {"-O", "large.update", "1"}, true, true},
        {"terminal, never", {"--no-progress", "-O", "large.update", "1"}, true, false},
        {"terminal, small", {"-O", "small.update", "1"}, true, false},
        {"terminal, small, always", {"--progress=always", "-O", "small.update", "1"}, true, true},
        {"file, large", {"-O", "large.update", "1"}, false, false},
        {"file, large, always", {"--progress=always", "-O", "large.update", "1"}, false, true},
        {"--create, terminal, large", {"-c", "n.update", "large.update"}, true, true, "\rkpupdate: 64."},
        {"--create, terminal, small", {"-c", "n.update", "small.update"}, true, false},
        {"--create, always",
         {"--progress=always", "-c", "n.update", "small.update"},
         false,
         true,
         "\rkpupdate: 0.0 MiB, 0 of 1 files, "},
    };
    std::string large_out;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.terminal && !test::posix_child_controls) continue;
        test::ToolOptions options;
        options.cwd = archives.dir.path();
        options.stderr_terminal_columns = c.terminal ? 100 : 0;
        const test::ToolRun run = test::run_tool(c.args, options);
        EXPECT_EQ(run.status, 0);
        if (c.args.back() == "1" && c.args[c.args.size() - 2] == "large.update") {
            if (large_out.empty()) large_out = run.out;
            EXPECT_TRUE(run.out == large_out);  // every byte the same, line or no line
            EXPECT_EQ(run.out.size(), progress_bytes_worth_showing + 512);
        }
        if (!c.shown) {
            EXPECT_EQ(run.err, "");
            continue;
        }
        EXPECT_TRUE(run.err.starts_with(c.first)) << run.err;
        EXPECT_NE(run.err.find(" of 1 files, "), std::string::npos) << run.err;
        const std::size_t last_line = run.err.rfind("\rkpupdate: ");
        const std::size_t drawn = run.err.find('\r', last_line + 1) - last_line - 1;
        EXPECT_TRUE(run.err.ends_with("\r" + std::string(drawn, ' ') + "\r")) << run.err;  // cleared
    }
}

// A signal that ends the run takes the line off the screen first, also while it writes
// to standard output, where no file of its own is made.
TEST(Progress, IsTakenOffTheScreenByAnInterruption) {
    if (!test::posix_child_controls) GTEST_SKIP() << "needs a pseudo-terminal";
    build::Archive huge;
    huge.with_data = false;
    huge.entries = {{"huge.bin", 1, 1u << 31, {1}, ""}};
    test::TempDir dir;
    test::write_file(dir.file("huge.update"), build::bytes(huge));
    std::filesystem::resize_file(dir.file("huge.update"), 512 + (std::uintmax_t{1} << 31));  // sparse
    std::filesystem::create_directory(dir.file("out"));
    for (const char* target : {"-O", "-Cout"}) {
        SCOPED_TRACE(target);
        test::ToolOptions options;
        options.cwd = dir.path();
        options.stderr_terminal_columns = 100;
        options.interrupt_signal = SIGTERM;
        options.when_output_shows = "\rkpupdate: ";  // once the line is drawn
        const test::ToolRun run = test::run_tool({"--progress=always", "-a", target, "huge.update"}, options);
        ASSERT_EQ(run.signal, SIGTERM) << "the extraction ended before the signal came";
        const std::size_t last_line = run.err.rfind("\rkpupdate: ");
        ASSERT_NE(last_line, std::string::npos) << run.err;
        const std::size_t drawn = run.err.find('\r', last_line + 1) - last_line - 1;
        EXPECT_TRUE(run.err.ends_with("\r" + std::string(drawn, ' ') + "\r")) << run.err;
        EXPECT_TRUE(test::tree(dir.file("out")).empty());
    }
}

}  // namespace
}  // namespace kp
