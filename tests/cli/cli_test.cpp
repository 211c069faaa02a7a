// The built binary, run as a user runs it: stdout bytes and exit status.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "archive_builder.h"
#include "console/console.h"
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

TEST(Cli, ColoursOnlyWhenAskedOrOnATerminal) {
    TempDir dir;
    build::Archive hostile = mismatching(99);
    hostile.entries[1].name = "b\x1b]0;x\x07.bin";
    test::write_file(dir.file("h.update"), build::bytes(hostile));

    const std::string cyan = "\x1b[0;96m", red = "\x1b[0;91m", reset = "\x1b[0m";
    const std::string error = "ERROR: syntax-error or EOF in file h.update.\n";
    const std::string raw_line = "2nd data mismatch at (7) b\x1b]0;x\x07.bin.\n";
    const std::string safe_line = "2nd data mismatch at (7) b\\033]0;x\\a.bin.\n";
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
        if (c.columns != 0 && !test::posix_child_controls) continue;
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

namespace kp {
namespace {

// Two files sharing both signatures: a.bin (index 0, 1000 bytes) and b.bin (index 1, 24 bytes).
build::Archive worked_example() {
    build::Archive archive;
    archive.version = "V1.2 worked";
    archive.entries = {
        {"a.bin", 0, 1000, {0x0123456789abcdef, 0x1111, 0x2222, 0x3333}, ""},
        {"b.bin", 1, 24, {0x0123456789abcdef, 0x1111, 0x4444, 0x5555}, ""},
    };
    archive.total_blocks = 4;
    return archive;
}

const std::string separator = std::string(79, '-') + "\n";

TEST(Cli, PrintsTheReportsPipedAndInColour) {
    TempDir dir;
    test::write_file(dir.file("w.update"), build::bytes(worked_example()));
    test::ToolOptions options;
    options.cwd = dir.path();

    const test::ToolRun plain = run_tool({"w.update"}, options);
    EXPECT_EQ(plain.status, 0);
    test::expect_recorded(plain.out, "worked.stdout");

    options.env = {{"CLICOLOR_FORCE", "1"}};
    const test::ToolRun colour = run_tool({"w.update"}, options);
    EXPECT_EQ(colour.status, 0);
    test::expect_recorded(colour.out, "worked.colour.stdout");
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

TEST(Cli, ListsFiveThousandEntriesWithoutExtraColourChanges) {
    TempDir dir;
    for (const std::uint32_t entries : {2u, 5000u}) {
        SCOPED_TRACE(entries);
        build::Archive archive;
        for (std::uint32_t i = 0; i < entries; ++i) {
            archive.entries.push_back({"file" + std::to_string(i), i, i % 4097, {i, 0, 0, 0}, ""});
        }
        test::write_file(dir.file("many.update"), build::bytes(archive));
        test::ToolOptions options;
        options.cwd = dir.path();
        const test::ToolRun plain = run_tool({"many.update"}, options);
        ASSERT_EQ(plain.status, 0);
        EXPECT_EQ(count(plain.out, "\tfile"), entries);
        EXPECT_EQ(count(plain.out, separator), 2u);
        options.env = {{"CLICOLOR_FORCE", "1"}};
        const test::ToolRun colour = run_tool({"many.update"}, options);
        EXPECT_EQ(count(colour.out, "\x1b["), 10u);  // the same for 2 entries as for 5000
    }
}

TEST(Cli, FailsWhenItsOutputCannotBeWritten) {
    if (!test::posix_child_controls) GTEST_SKIP() << "needs /dev/full";
    test::ToolOptions options;
    options.cwd = KPUPDATE_SOURCE_DIR;
    options.stdout_full = true;
    EXPECT_EQ(run_tool({"examples/sample.update"}, options).status, 255);
    EXPECT_EQ(run_tool({"no/such.update"}, options).status, 255);  // failures keep their own status
    EXPECT_EQ(run_tool({"README.md"}, options).status, 254);
}

// The sample's output is kept as text beside the tests.
TEST(Cli, SampleMatchesItsRecordedOutput) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"examples/sample.update"}, "sample.stdout"},
        {{"--json", "examples/sample.update"}, "sample.json"},
    };
    for (const auto& [args, expected_name] : cases) {
        test::ToolOptions options;
        options.cwd = KPUPDATE_SOURCE_DIR;
        const test::ToolRun run = run_tool(args, options);
        EXPECT_EQ(run.status, 0);
        test::expect_recorded(run.out, expected_name);
    }
}

// With --json, standard output holds one document whatever happens: the error that ended
// the run, or the archive with what was extracted and what was not.
TEST(Cli, JsonCarriesErrorsAndExtractions) {
    TempDir dir;
    build::Archive plan = mismatching();
    plan.entries.push_back({"../up.bin", 9, 10, {6, 0, 0, 0}, ""});
    test::write_file(dir.file("good.update"), build::bytes(plan));
    test::write_file(dir.file("short.update"), "short");
    std::filesystem::create_directory(dir.file("out"));
    const std::pair<std::vector<std::string>, std::string> failures[] = {
        {{"--json"}, "{\"error\": \"missing filename. Specify kelvo .update-file as argument\"}\n"},
        {{"--json", "no/such.update"},
         "{\"error\": \"could not load file no/such.update\", \"reason\": \"No such file or directory\"}\n"},
        {{"--json", "short.update", "1", "x"},
         "{\"error\": \"syntax-error or EOF in file short.update\", \"reason\": \"not an update file: it holds 5 "
         "bytes, fewer than the 128 of its header\", \"warnings\": [\"warning: ignoring 1 argument after "
         "INDEX\"]}\n"},
    };
    test::ToolOptions options;
    options.cwd = dir.path();
    for (const auto& [args, out] : failures) EXPECT_EQ(run_tool(args, options).out, out);
    EXPECT_EQ(run_tool({"--json", "short.update"}, options).status, 254);

    const test::ToolRun run = run_tool({"--json", "-a", "-n", "gone", "-C", "out", "good.update"}, options);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "");
    const nlohmann::json document = nlohmann::json::parse(run.out);
    EXPECT_EQ(document.at("mismatches").size(), 1u);
    EXPECT_EQ(document.at("extracted"), nlohmann::json::parse(R"([{"position": 0, "name": "a.bin", "path": "out/a.bin"},
                                        {"position": 1, "name": "b.bin", "path": "out/b.bin"}])"));
    const nlohmann::json up_failed = nlohmann::json::parse(R"([{"position": 2, "name": "../up.bin",
        "reason": "its name has a '..' part: it would not stay under the target"}])");
    EXPECT_EQ(document.at("failed"), up_failed);  // the reason the text run gives
    EXPECT_EQ(document.at("missing"), nlohmann::json::parse(R"(["gone"])"));
    EXPECT_FALSE(document.contains("skipped") || document.contains("missing_indexes"));

    // With --skip-old-files what was skipped; with --index or --position what they missed.
    const nlohmann::json again = nlohmann::json::parse(
        run_tool({"--json", "--skip-old-files", "-a", "--index=8", "-p", "7", "-C", "out", "good.update"}, options)
            .out);
    EXPECT_EQ(again.at("skipped"), nlohmann::json::parse(R"([{"position": 0, "name": "a.bin"},
                                     {"position": 1, "name": "b.bin"}])"));
    EXPECT_EQ(again.at("failed"), up_failed);
    EXPECT_EQ(again.at("missing_indexes"), nlohmann::json::parse(R"(["8"])"));
    EXPECT_EQ(again.at("missing_positions"), nlohmann::json::parse(R"(["7"])"));
    // What --strip-components leaves nothing of is skipped, with why.
    const nlohmann::json stripped = nlohmann::json::parse(
        run_tool({"--json", "--strip-components=1", "-n", "a.bin", "-C", "out", "good.update"}, options).out);
    EXPECT_EQ(stripped.at("skipped"), nlohmann::json::parse(R"([{"position": 0, "name": "a.bin",
        "reason": "no part of its name is left after '--strip-components'"}])"));
}

}  // namespace
}  // namespace kp
