// The built binary, run as a user runs it: stdout bytes and exit status.
#include <gtest/gtest.h>

#include "archive_builder.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::banner;
using test::run_tool;
using test::TempDir;

build::Archive mismatching(std::optional<std::uint32_t> total_blocks = {}) {
    build::Archive archive;
    archive.entries = {
        {"a.bin", 0, 1000, {5, 1, 0, 0}, ""},
        {"b.bin", 7, 24, {5, 2, 0, 0}, ""},
    };
    archive.total_blocks = total_blocks;
    return archive;
}

TEST(Cli, ReportsEachOutcomePiped) {
    TempDir dir;
    const std::string whole = build::bytes(mismatching());
    build::Archive zero_count = mismatching();
    zero_count.file_count = 0;
    build::Archive many = mismatching();
    many.file_count = 5001;
    test::write_file(dir.file("good.update"), whole);
    test::write_file(dir.file("short.update"), whole.substr(0, 100));
    test::write_file(dir.file("zero.update"), build::bytes(zero_count));
    test::write_file(dir.file("many.update"), build::bytes(many));
    test::write_file(dir.file("cut.update"), whole.substr(0, 128 + 60));
    test::write_file(dir.file("size.update"), build::bytes(mismatching(99)));

    const std::string mismatch = "2nd data mismatch at (7) b.bin.\n";
    struct Case {
        std::vector<std::string> args;
        std::string out;
        int status;
    };
    const Case cases[] = {
        {{}, banner + "ERROR: missing filename. Specify kelvo .update-file as argument.\n", 255},
        {{"no/such.update"}, banner + "ERROR: could not load file no/such.update.\n", 255},
        {{"short.update"}, banner + "ERROR: syntax-error or EOF in file short.update.\n", 254},
        {{"zero.update"}, banner + "ERROR: syntax-error or EOF in file zero.update.\n", 254},
        {{"many.update"}, banner + "ERROR: syntax-error or EOF in file many.update.\n", 254},
        {{"cut.update"}, banner + "ERROR: syntax-error or EOF in file cut.update.\n", 254},
        {{"size.update"}, banner + mismatch + "ERROR: syntax-error or EOF in file size.update.\n", 254},
        {{dir.file("size.update")},
         banner + mismatch + "ERROR: syntax-error or EOF in file " + dir.file("size.update") + ".\n",
         254},
        {{"good.update"}, banner + mismatch, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "no argument" : c.args[0]);
        test::ToolOptions options;
        options.cwd = dir.path();
        const test::ToolRun run = run_tool(c.args, options);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.status, c.status);
    }
}

TEST(Cli, ColoursOnlyWhenAskedOrOnATerminal) {
    TempDir dir;
    build::Archive hostile = mismatching(99);
    hostile.entries[1].name = "b\x1b]0;x\x07.bin";
    test::write_file(dir.file("h.update"), build::bytes(hostile));

    const std::string cyan = "\x1b[0;96m", red = "\x1b[0;91m", reset = "\x1b[0m";
    const std::string error = "ERROR: syntax-error or EOF in file h.update.\n";
    const std::string raw_line = "2nd data mismatch at (7) b\x1b]0;x\x07.bin.\n";
    const std::string safe_line = "2nd data mismatch at (7) b?]0;x?.bin.\n";
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> env;
        unsigned short columns;
        std::string out;
    };
    const Case cases[] = {
        {"piped", {}, 0, banner + raw_line + error},
        {"forced", {{"CLICOLOR_FORCE", "1"}}, 0, cyan + banner + red + raw_line + error + reset},
        {"forced off by 0", {{"CLICOLOR_FORCE", "0"}}, 0, banner + raw_line + error},
        {"NO_COLOR wins", {{"CLICOLOR_FORCE", "1"}, {"NO_COLOR", "1"}}, 0, banner + raw_line + error},
        {"terminal", {}, 100, cyan + banner + red + safe_line + error + reset},
        {"terminal, NO_COLOR", {{"NO_COLOR", "x"}}, 100, banner + safe_line + error},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::ToolOptions options;
        options.cwd = dir.path();
        options.env = c.env;
        options.terminal_columns = c.columns;
        const test::ToolRun run = run_tool({"h.update"}, options);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.status, 254);
    }
}

}  // namespace
}  // namespace kp
