// --offset: an update file inside a larger one, read in place, gives in every mode what a
// copy of its own bytes gives, but for the name of FILE.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>

#include "archive_builder.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::random_bytes;
using test::replaced;
using test::run_tool;
using test::snapshot;
using test::TempDir;

std::string hex(std::size_t number) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%zx", number);
    return text;
}

// An update file embedded in FILE: what comes before it, it, what comes after.
struct Embedded {
    const char* what;
    std::string before;
    std::string update_file;  // the carved copy: what FILE holds from the offset on, to its end
    std::string after;
    std::size_t offset;
    std::string file() const { return before + update_file + after; }
};

// Four entries (the data region begins at the last directory record), names in
// directories, an empty one and a name given twice.
build::Archive four_entries() {
    build::Archive archive;
    archive.entries = {{"kernel.img", 1, 3000, {1, 0, 0, 0}, "kernel"},
                       {"d/b.txt", 2, 700, {2, 0, 0, 0}, "first"},
                       {"d/empty", 3, 0, {3, 0, 0, 0}, ""},
                       {"d/b.txt", 4, 900, {4, 0, 0, 0}, "second"}};
    return archive;
}

// A mode of the command line: the words before FILE and after it, and whether it also
// runs on a pipe.
struct Mode {
    std::vector<std::string> before;
    std::vector<std::string> after;
    bool piped;
};

// The run on the carved copy, at `file`, or with --offset on FILE: the option said one of
// three ways, and before FILE or after it, by `form`.
std::vector<std::string> words(const Mode& mode, const std::string& file, std::optional<std::size_t> offset,
                               std::size_t form) {
    std::vector<std::string> args = mode.before;
    if (offset && form == 0) args.insert(args.end(), {"--offset", std::to_string(*offset)});
    if (offset && form == 1) args.push_back("--offset=" + hex(*offset));
    args.push_back(file);
    if (offset && form == 2) args.insert(args.end(), {"--offset", std::to_string(*offset)});
    args.insert(args.end(), mode.after.begin(), mode.after.end());
    return args;
}

TEST(Offset, EveryModeGivesWhatTheCarvedCopyGives) {
    TempDir dir;
    const std::string four = build::bytes(four_entries());
    const std::string sample = build::bytes(build::sample());
    build::Archive single;
    single.entries = {{"kernel.img", 7, 1000, {7, 0, 0, 0}, "only"}};
    const std::string one = build::bytes(single);
    const Embedded embedded[] = {
        {"on a chunk, inside random bytes", random_bytes(0x1f400, 1), four, random_bytes(5000, 2), 0x1f400},
        {"on no chunk", random_bytes(777, 3), sample, random_bytes(3000, 4), 777},
        {"at 0, with bytes after it", "", sample, random_bytes(1000, 5), 0},
        {"cut short by the end of FILE", random_bytes(1000, 6), four.substr(0, four.size() - 100), "", 1000},
        {"past the end of FILE", random_bytes(300, 7), "", "", 1000},
        {"of one entry, with bytes after it", random_bytes(512, 10), one, random_bytes(700, 11), 512},
    };
    build::Archive older = build::sample();
    older.entries[1].data = "an older kernel";
    test::write_file(dir.file("old.update"), build::bytes(older));
    std::filesystem::create_directories(dir.file("tree/d"));
    test::write_file(dir.file("tree/d/b.txt"), "second");
    const Mode modes[] = {
        {{}, {}, true},
        {{"-l"}, {}, false},
        {{"--json"}, {}, true},
        {{"--test"}, {}, true},
        {{"--json", "-t"}, {}, false},
        {{"-q"}, {"1"}, false},
        {{"-qa", "-C", "out"}, {}, true},
        {{"-x", "-C", "out"}, {"kernel.img"}, false},
        {{"-qa", "-O"}, {}, true},
        {{"-qt", "-n", "kernel.img", "-O"}, {}, false},
        {{"--sha256"}, {}, false},
        {{"-q", "--diff=../old.update"}, {}, true},
        {{"--diff=../tree"}, {}, false},
        {{"--json", "-a", "-C", "out"}, {}, false},
    };
    for (const Embedded& file : embedded) {
        test::write_file(dir.file("dump.bin"), file.file());
        test::write_file(dir.file("carved.update"), file.update_file);
        for (std::size_t form = 0; form < std::size(modes); ++form) {
            const Mode& mode = modes[form];
            for (const bool piped : {false, true}) {
                if (piped && !mode.piped) continue;
                std::vector<std::string> args = words(mode, piped ? "-" : "../dump.bin", file.offset, form % 3);
                std::string shown = std::string(file.what) + ":";
                for (const std::string& arg : args) shown += " " + arg;
                SCOPED_TRACE(shown);
                test::ToolRun runs[2];
                std::string files[2];
                for (const bool carved : {false, true}) {
                    const std::string work = dir.file(carved ? "carved" : "in-place");
                    std::filesystem::remove_all(work);
                    std::filesystem::create_directories(work + "/out");
                    test::ToolOptions tool;
                    tool.cwd = work;
                    if (piped) tool.stdin_bytes = carved ? file.update_file : file.file();
                    if (carved) args = words(mode, piped ? "-" : "../carved.update", {}, 0);
                    runs[carved] = run_tool(args, tool);
                    files[carved] = snapshot(work);
                }
                EXPECT_EQ(replaced(runs[0].out, "../dump.bin", "../carved.update"), runs[1].out);
                EXPECT_EQ(replaced(runs[0].err, "../dump.bin", "../carved.update"), runs[1].err);
                EXPECT_EQ(runs[0].status, runs[1].status);
                EXPECT_EQ(files[0], files[1]);
            }
        }
    }
}

// The offset is a whole number of bytes, decimal or hexadecimal after 0x, that fits in 64
// bits, in any spelling of those; anything else is refused before FILE is read.
TEST(Offset, TakesDecimalOrHexadecimalBytesAndRefusesTheRest) {
    TempDir dir;
    const std::string sample = build::bytes(build::sample());
    test::write_file(dir.file("dump.bin"), random_bytes(0x1f400, 8) + sample + random_bytes(100, 9));
    test::write_file(dir.file("carved.update"), sample);
    test::write_file(dir.file("empty.update"), "");
    const std::string takes =
        "kpupdate: option '--offset' takes a whole number from 0 to 18446744073709551615, "
        "or 0x and hex digits, not '";
    const std::string help = "; see 'kpupdate --help'.\n";
    const struct {
        std::vector<std::string> args;
        std::string err;      // refused: what standard error says
        const char* same_as;  // taken: the file whose listing it gives
    } cases[] = {
        {{"--offset", "128000"}, "", "carved.update"},
        {{"--offset=0X1F400"}, "", "carved.update"},
        {{"--offset", "0x0001f400"}, "", "carved.update"},
        {{"--offset", "000128000"}, "", "carved.update"},  // decimal, leading zeros and all
        {{"--off=0x1f400"}, "", "carved.update"},
        {{"--offset", "0x1f400", "--offset", "0"}, "", "dump.bin"},  // the last one holds
        {{"--offset", "18446744073709551615"}, "", "empty.update"},
        {{"--offset=0xffffffffffffffff"}, "", "empty.update"},
        {{"--offset", "-1"}, takes + "-1'" + help, nullptr},
        {{"--offset="}, takes + "'" + help, nullptr},
        {{"--offset", "12abc"}, takes + "12abc'" + help, nullptr},
        {{"--offset", "0x"}, takes + "0x'" + help, nullptr},
        {{"--offset", "0x1g"}, takes + "0x1g'" + help, nullptr},
        {{"--offset", "x10"}, takes + "x10'" + help, nullptr},
        {{"--offset", "18446744073709551616"}, takes + "18446744073709551616'" + help, nullptr},
        {{"--offset", "0x10000000000000000"}, takes + "0x10000000000000000'" + help, nullptr},
        {{"--offset", "99999999999999999999"}, takes + "99999999999999999999'" + help, nullptr},
        {{"--offset", " 12"}, takes + " 12'" + help, nullptr},
        {{"--offset", "12 "}, takes + "12 '" + help, nullptr},
        {{"--offset", "+5"}, takes + "+5'" + help, nullptr},
        {{"--offset", "1e3"}, takes + "1e3'" + help, nullptr},
        {{"-c", "--offset", "1", "new.update", "carved.update"},
         "kpupdate: '--create' and '--offset' cannot go together" + help,
         nullptr},
    };
    test::ToolOptions tool;
    tool.cwd = dir.path();
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        SCOPED_TRACE(args.back());
        if (c.same_as == nullptr) {
            if (args.front() != "-c") args.insert(args.begin(), {"-l", "dump.bin"});
            const test::ToolRun run = run_tool(args, tool);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, c.err);
            EXPECT_EQ(run.status, 255);
            EXPECT_FALSE(std::filesystem::exists(dir.file("new.update")));
            continue;
        }
        args.insert(args.begin(), {"-qt", "dump.bin"});
        const test::ToolRun run = run_tool(args, tool);
        const test::ToolRun expected = run_tool({"-qt", c.same_as}, tool);
        EXPECT_EQ(run.out, replaced(expected.out, c.same_as, "dump.bin"));
        EXPECT_EQ(run.err, replaced(expected.err, c.same_as, "dump.bin"));
        EXPECT_EQ(run.status, expected.status);
    }
    // The help says which of the two operands of --diff it is of.
    EXPECT_NE(run_tool({"--help"}).out.find("--diff, of FILE, never of OTHER"), std::string::npos);
}

}  // namespace
}  // namespace kp
