// The binary as a user first meets it: usage errors, --help and --version, and the
// colour it decides on.
#include <gtest/gtest.h>

#include "cli/options.h"

#include <filesystem>
#include <system_error>
#include <tuple>

#include "archive_builder.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::run_tool;
using test::TempDir;

// Usage errors name the problem in one line on standard error, print nothing on standard
// output and touch nothing; help and version print only themselves.
TEST(Cli, AnswersUsageHelpAndVersion) {
    TempDir dir;
    test::write_file(dir.file("a.update"), build::bytes(build::sample()));
    std::filesystem::create_directory(dir.file("out"));
    const std::string see_help = "; see 'kpupdate --help'.\n";
    const std::string no_such_file = std::make_error_code(std::errc::no_such_file_or_directory).message();
    const std::string not_a_directory = std::make_error_code(std::errc::not_a_directory).message();
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;  // "usage": starts with the usage line
        std::string err;
    } cases[] = {
        {{"--bogus", "a.update"}, 255, "", "kpupdate: unknown option '--bogus'" + see_help},
        {{"-n"}, 255, "", "kpupdate: option '-n' needs a value" + see_help},
        {{"-O", "-C", "out", "a.update", "1"},
         255,
         "",
         "kpupdate: '--stdout' and '--directory' cannot go together" + see_help},
        {{"-O", "a.update"},
         255,
         "",
         "kpupdate: '--stdout' needs something to extract: INDEX, '--name', '--include' or '--all'" + see_help},
        {{"-C", "out", "a.update"},
         255,
         "",
         "kpupdate: '--directory' needs something to extract: INDEX, '--name', '--include' or '--all'" + see_help},
        {{"--trim", "a.update"},
         255,
         "",
         "kpupdate: '--trim' needs something to extract: INDEX, '--name', '--include' or '--all'" + see_help},
        {{"-k", "a.update"},
         255,
         "",
         "kpupdate: '--keep-old-files' needs something to extract: INDEX, '--name', '--include' or '--all'" + see_help},
        {{"--skip-old-files", "a.update"},
         255,
         "",
         "kpupdate: '--skip-old-files' needs something to extract: INDEX, '--name', '--include' or '--all'" + see_help},
        {{"-a", "-C", "missing", "a.update"},
         255,
         "",
         "kpupdate: no directory 'missing'" + see_help + "kpupdate: missing: " + no_such_file + "\n"},
        // With --json the document says it, and standard error stays empty.
        {{"--json", "-O", "a.update", "1"}, 255, "{\"error\": \"'--stdout' and '--json' cannot go together\"}\n", ""},
        {{"--bogus", "--js", "a.update"}, 255, "{\"error\": \"unknown option '--bogus'\"}\n", ""},
        {{"--json", "-a", "-C", "missing", "a.update"},
         255,
         "{\"error\": \"no directory 'missing'\", \"reason\": \"" + no_such_file + "\"}\n",
         ""},
        {{"-a", "-C", "a.update", "a.update"},
         255,
         "",
         "kpupdate: no directory 'a.update'" + see_help + "kpupdate: a.update: " + not_a_directory + "\n"},
        {{"--diff=-", "a.update"},
         255,
         "",
         "kpupdate: '--diff' compares with an update file or a directory, not a stream: '-'" + see_help},
        {{"-a", "--exclude", std::string(4097, '*'), "a.update"},
         255,
         "",
         "kpupdate: option '--exclude' takes a pattern of at most 4096 bytes, not '" + std::string(40, '*') + "...'" +
             see_help},
        {{"-I" + std::string(4097, 'x'), "a.update"},
         255,
         "",
         "kpupdate: option '-I' takes a pattern of at most 4096 bytes, not '" + std::string(40, 'x') + "...'" +
             see_help},
        // A refusal that says what to do points to no help.
        {{"--exlude=x", "a.update"}, 255, "", "kpupdate: unrecognized option '--exlude'; did you mean '--exclude'?\n"},
        {{"-z", "a.update"},
         255,
         "",
         "kpupdate: update files are not compressed; to read a compressed one: zcat a.update | kpupdate -\n"},
        {{"--help"}, 0, "usage", ""},
        {{"-a", "-h", "--bogus"}, 0, "usage", ""},
        {{"-V"}, 0, "kpupdate 0.10.0\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        test::ToolOptions options;
        options.cwd = dir.path();
        options.env = {{"CLICOLOR_FORCE", "1"}};  // none of these is ever coloured
        const test::ToolRun run = run_tool(c.args, options);
        EXPECT_EQ(run.status, c.status);
        if (c.out == "usage") {
            EXPECT_TRUE(run.out.starts_with("Usage: kpupdate [OPTION]... FILE [INDEX | NAME...]\n")) << run.out;
            EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
        } else {
            EXPECT_EQ(run.out, c.out);
        }
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(test::tree(dir.path()), (std::vector<std::string>{"a.update", "out"}));
    }
}

// --color decides alone when it says always or never; otherwise, as without it, a
// terminal, NO_COLOR and CLICOLOR_FORCE do.
TEST(Cli, ColourFollowsWhenThenTheEnvironment) {
    const std::pair<std::vector<std::string>, ColourWhen> whens[] = {
        {{}, ColourWhen::automatic},
        {{"--color"}, ColourWhen::automatic},
        {{"--color=auto"}, ColourWhen::automatic},
        {{"--color=always"}, ColourWhen::always},
        {{"--color=never"}, ColourWhen::never},
        {{"--no-color"}, ColourWhen::never},
    };
    for (const auto& [when_args, when] : whens) {
        for (const bool terminal : {false, true}) {
            if (terminal && !test::posix_child_controls) continue;
            for (const bool no_color : {false, true}) {
                for (const bool force : {false, true}) {
                    test::ToolOptions options;
                    options.cwd = KPUPDATE_SOURCE_DIR;
                    options.terminal_columns = terminal ? 80 : 0;
                    if (no_color) options.env.push_back({"NO_COLOR", "1"});
                    if (force) options.env.push_back({"CLICOLOR_FORCE", "1"});
                    std::vector<std::string> args = when_args;
                    args.push_back("examples/sample.update");
                    const bool automatic = !no_color && (terminal || force);
                    const bool expected = when == ColourWhen::always || (when == ColourWhen::automatic && automatic);
                    const test::ToolRun run = run_tool(args, options);
                    EXPECT_EQ(run.out.find('\x1b') != std::string::npos, expected)
                        << (when_args.empty() ? "no option" : when_args[0]) << (terminal ? ", terminal" : ", pipe")
                        << (no_color ? ", NO_COLOR" : "") << (force ? ", CLICOLOR_FORCE" : "");
                }
            }
        }
    }
}

}  // namespace
}  // namespace kp
