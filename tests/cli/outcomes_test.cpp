// The built binary's outcomes: their order and status, and no hostile text of FILE's on a
// terminal, whatever the mode.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "archive_builder.h"
#include "console/console.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::run_tool;
using test::TempDir;

// What extraction and --test find, in the order and with the status they always had:
// damage wins over a failed extraction, the ERROR lines follow the test's section,
// and the document's sections come in their order, "unmatched" last.
TEST(Cli, OutcomesKeepTheirOrderAndStatus) {
    TempDir dir;
    const std::string sample = build::bytes(build::sample());
    test::write_file(dir.file("cut.update"), sample.substr(0, 20000));
    build::Archive device;
    device.entries = {{"con.txt", 1, 10, {1, 0, 0, 0}, ""}};
    test::write_file(dir.file("device.update"), build::bytes(device));
    std::filesystem::create_directory(dir.file("out"));
    test::ToolOptions options;
    options.cwd = dir.path();

    const test::ToolRun cut = run_tool({"-qta", "-C", "out", "cut.update"}, options);
    EXPECT_EQ(cut.status, 254);
    const std::size_t summary = cut.out.find("DAMAGED: 4 of 7 files");
    const std::size_t error = cut.out.find("ERROR: could not extract file kernel-backup.img.\n");
    EXPECT_TRUE(summary != std::string::npos && error != std::string::npos && summary < error) << cut.out;

    const test::ToolRun json =
        run_tool({"--json", "-t", "-I", "zz*", "-n", "gone", "-a", "-C", "out", "cut.update"}, options);
    EXPECT_EQ(json.status, 254);
    EXPECT_EQ(nlohmann::json::parse(json.out).at("unmatched"), nlohmann::json::parse(R"(["zz*"])"));
    std::size_t last = 0;
    for (const char* key : {"\"entries\"", "\"test\"", "\"extracted\"", "\"failed\"", "\"missing\"", "\"unmatched\""}) {
        const std::size_t at = json.out.find(key);
        EXPECT_TRUE(at != std::string::npos && at > last) << key;
        last = at;
    }

    const bool windows = !test::posix_child_controls;  // a device name only under Windows rules
    EXPECT_EQ(run_tool({"-qt", "device.update"}, options).out,
              "\n--- Test of the file: ---\n" +
                  std::string(windows ? "note: entry 0 (index 1) con.txt has a name that extraction would refuse.\n"
                                        "OK: 1 file, no damage found; 1 note.\n"
                                      : "OK: 1 file, no damage found.\n"));
}

}  // namespace
}  // namespace kp

namespace kp {
namespace {

// Whether `text` holds a byte a terminal could take as a command: a control character
// but the line feed and tab the tool prints itself, DEL, a C1 control as UTF-8, or a
// byte from 0x80 to 0x9F outside a UTF-8 sequence.
bool holds_raw_controls(std::string_view text) {
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text[0]);
        const std::size_t length = utf8_sequence(text);
        if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F) return true;
        if (length == 0 && byte >= 0x80 && byte <= 0x9F) return true;
        if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[1]) <= 0x9F) return true;
        text.remove_prefix(length == 0 ? 1 : length);
    }
    return false;
}

// Names, the version text and a directory's extra names hold each kind of control. Every
// run that prints them, on a terminal (standard output's, or standard error's alone),
// shows them escaped and the rest as it is; into a pipe or a file, the bytes as they are.
TEST(Cli, HostileTextNeverReachesATerminal) {
    if (!test::posix_child_controls) GTEST_SKIP() << "needs a pseudo-terminal";
    TempDir dir;
    build::Archive plan;
    plan.version = "v\x1b[31m1";
    plan.entries = {{"c0\x1b]0;t\x07.bin", 1, 10, {1, 0, 0, 0}, ""},  // refused: a control character
                    {"c1\xc2\x9b"
                     "2J.bin",
                     2,
                     10,
                     {2, 0, 0, 0},
                     ""},
                    {"lone\x9b.bin", 3, 10, {3, 0, 0, 0}, ""},
                    {"del\x7f.bin", 4, 10, {4, 0, 0, 0}, ""}};
    test::write_file(dir.file("h.update"), build::bytes(plan));
    std::filesystem::create_directories(dir.file("tree"));
    test::write_file(dir.file("tree/x\x1b[2J\r.bin"), "");
    const struct {
        std::vector<std::string> args;
        bool on_stdout;  // names on standard output (with -O only bytes go there, as asked)
        bool on_stderr;
    } runs[] = {
        {{"h.update"}, true, false},
        {{"-l", "h.update"}, true, false},
        {{"-t", "h.update"}, true, false},
        {{"-qva", "-C", "out", "h.update"}, true, true},  // -v, ERROR and reason lines
        {{"-qv", "-O", "-a", "h.update"}, false, true},
        {{"-q", "--diff=tree", "h.update"}, true, false},
    };
    const std::string shown[] = {"v\\033[31m1",   "c0\\033]0;t\\a.bin", "c1\\302\\2332J.bin",
                                 "lone\\233.bin", "del\\177.bin",       "x\\033[2J\\r.bin"};
    for (const auto& run_case : runs) {
        for (const int where : {0, 1, 2}) {  // a pipe; standard output a terminal; standard error one
            const std::vector<std::string>& args = run_case.args;
            SCOPED_TRACE(args.front() + " " + args.back() +
                         (where == 0   ? ", piped"
                          : where == 1 ? ", stdout"
                                       : ", stderr"));
            std::filesystem::remove_all(dir.file("out"));
            std::filesystem::create_directory(dir.file("out"));
            test::ToolOptions options;
            options.cwd = dir.path();
            options.env = {{"NO_COLOR", "1"}};  // no escape sequence of the tool's own
            options.terminal_columns = where == 1 ? 80 : 0;
            options.stderr_terminal_columns = where == 2 ? 80 : 0;
            const test::ToolRun run = run_tool(args, options);
            if (where == 0) {
                EXPECT_TRUE(holds_raw_controls(run_case.on_stdout ? run.out : run.err));
                continue;
            }
            if (!(where == 1 ? run_case.on_stdout : run_case.on_stderr)) continue;
            const std::string& on_terminal = where == 1 ? run.out : run.err;
            EXPECT_FALSE(holds_raw_controls(on_terminal)) << on_terminal;
            bool any = false;
            for (const std::string& text : shown) any = any || on_terminal.find(text) != std::string::npos;
            EXPECT_TRUE(any) << on_terminal;
        }
    }
}

}  // namespace
}  // namespace kp
