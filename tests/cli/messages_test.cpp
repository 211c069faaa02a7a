// What the binary says of failures and of arguments it reads its old way, and the
// selectors that reach every entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "archive_builder.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::run_tool;
using test::TempDir;

std::string system_text(std::errc error) {
    return std::make_error_code(error).message();
}

// Every outcome of a load, and every kind of failure: its line on standard output (the
// whole of it, or with `prefix` its start), why on standard error, GNU style, and its
// status.
TEST(Messages, EveryFailureSaysWhy) {
    TempDir dir;
    const std::string sample = build::bytes(build::sample());
    test::write_file(dir.file("good.update"), sample);
    test::write_file(dir.file("short.update"), sample.substr(0, 100));
    test::write_file(dir.file("cutdir.update"), sample.substr(0, 300));
    for (const std::uint32_t count : {0u, 5001u}) {
        build::Archive counted = build::sample();
        counted.file_count = count;
        test::write_file(dir.file("count" + std::to_string(count) + ".update"), build::bytes(counted));
    }
    build::Archive sized = build::sample();
    sized.total_blocks = 99;
    test::write_file(dir.file("sizes.update"), build::bytes(sized));
    build::Archive hostile;
    hostile.entries = {{"", 1, 10, {1, 0, 0, 0}, ""},         {"/abs", 2, 10, {2, 0, 0, 0}, ""},
                       {"a/../b", 3, 10, {3, 0, 0, 0}, ""},   {"x\x01y", 4, 10, {4, 0, 0, 0}, ""},
                       {"f/in.bin", 5, 10, {5, 0, 0, 0}, ""}, {"a b", 6, 4000, {6, 0, 0, 0}, ""}};
    const std::string hostile_bytes = build::bytes(hostile);
    test::write_file(dir.file("hostile.update"), hostile_bytes.substr(0, hostile_bytes.size() - 1000));
    std::filesystem::create_directories(dir.file("out"));
    test::write_file(dir.file("out/f"), "a file where a directory would go");
    std::filesystem::create_directory(dir.file("adir"));
    const std::string load = test::banner + "ERROR: could not load file ";
    const std::string syntax = test::banner + "ERROR: syntax-error or EOF in file ";
    const std::string extract = "ERROR: could not extract file ";
    const std::string mismatch = "2nd data mismatch at (4) bootloader-old.bin.\n";
    const std::string not_update = "not an update file: ";
    const struct {
        std::vector<std::string> args;
        std::string out;
        std::string err;  // without "kpupdate: " and the line feed; empty: nothing at all
        int status;
        bool prefix = false;
    } cases[] = {
        {{},
         test::banner + "ERROR: missing filename. Specify kelvo .update-file as argument.\n",
         "missing FILE, the update file to read; see 'kpupdate --help'",
         255},
        {{"none.update"},
         load + "none.update.\n",
         "none.update: " + system_text(std::errc::no_such_file_or_directory),
         255},
        {{"adir"}, "", "adir: " + system_text(std::errc::is_a_directory), -1},
        {{""}, load + ".\n", "'': " + system_text(std::errc::no_such_file_or_directory), 255},  // not "."
        {{"short.update"},
         syntax + "short.update.\n",
         "short.update: " + not_update + "it holds 100 bytes, fewer than the 128 of its header",
         254},
        {{"count0.update"},
         syntax + "count0.update.\n",
         "count0.update: " + not_update + "its header counts 0 files, not 1 to 5000",
         254},
        {{"count5001.update"},
         syntax + "count5001.update.\n",
         "count5001.update: " + not_update + "its header counts 5001 files, not 1 to 5000",
         254},
        {{"cutdir.update"},
         syntax + "cutdir.update.\n",
         "cutdir.update: " + not_update + "its directory ends after 1 of 7 records",
         254},
        {{"sizes.update"},
         test::banner + mismatch + "ERROR: syntax-error or EOF in file sizes.update.\n",
         "sizes.update: " + not_update +
             "its directory's sizes end the archive at 29696 bytes, but its header says 50688",
         254},
        {{dir.file("sizes.update")},
         test::banner + mismatch + "ERROR: syntax-error or EOF in file " + dir.file("sizes.update") + ".\n",
         dir.file("sizes.update") + ": " + not_update +
             "its directory's sizes end the archive at 29696 bytes, but its header says 50688",
         254},
        {{"good.update"}, test::banner + mismatch + "firmware update version is\n", "", 0, true},
        {{"-qa", "--padded", "-C", "out", "hostile.update"},
         extract + ".\n" + extract + "/abs.\n" + extract + "a/../b.\n" + extract + "x\x01y.\n" + extract +
             "f/in.bin.\n" + extract + "a b.\n",
         "'': its name is empty\n"
         "kpupdate: /abs: its name starts with a separator: it would not stay under the target\n"
         "kpupdate: a/../b: its name has a '..' part: it would not stay under the target\n"
         "kpupdate: x\x01y: its name holds a control character\n"
         "kpupdate: f/in.bin: f: not a directory (a file, or a link)\n"
         "kpupdate: 'a b': its chunk reaches 1000 bytes past the end of the update file\n"
         "kpupdate: warning: hostile.update ends 1000 bytes before the 7680 its header declares; '--test' names "
         "the files cut short",
         255},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "no argument" : c.args.back());
        test::ToolOptions options;
        options.cwd = dir.path();
        const test::ToolRun run = run_tool(c.args, options);
        if (!c.out.empty()) {
            EXPECT_EQ(c.prefix ? run.out.substr(0, c.out.size()) : run.out, c.out);
        }
        EXPECT_EQ(run.err, c.err.empty() ? "" : "kpupdate: " + c.err + "\n");
        if (c.status >= 0) {  // a directory: 254 on POSIX, which opens it as a file; 255 on Windows
            EXPECT_EQ(run.status, c.status);
        }
    }
    if (!test::posix_child_controls) return;  // a full disk stands in for every failing write
    test::ToolOptions limited;
    limited.cwd = dir.path();
    limited.file_size_limit = 100;
    const test::ToolRun full = run_tool({"-q", "-n", "bootloader.bin", "-C", "out", "good.update"}, limited);
    EXPECT_EQ(full.out, mismatch + extract + "bootloader.bin.\n");
    EXPECT_EQ(full.err, "kpupdate: bootloader.bin: " + system_text(std::errc::file_too_large) + "\n");
}

// Arguments the two-argument form swallows are warned of, and still read as before;
// options after FILE do what they say, where they once were taken for INDEX.
TEST(Messages, WarnOfArgumentsTheOldFormSwallows) {
    TempDir dir;
    test::write_file(dir.file("a.update"), build::bytes(build::sample()));
    test::write_file(dir.file("b.update"), build::bytes(build::sample()));
    const std::vector<std::string> all = {"bootloader-copy.bin", "bootloader-old.bin", "bootloader.bin",
                                          "kernel-backup.img",   "kernel.img",         "release-notes.txt",
                                          "settings.ini"};
    const std::string mismatch = "2nd data mismatch at (4) bootloader-old.bin.\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
        std::vector<std::string> written;  // in the current directory, or under out/
        std::string out;                   // how standard output starts; empty: the mismatch line
        int status = 0;
    } cases[] = {
        // A word after FILE that is no whole number is a name, as tar takes it; one that is
        // an update file itself is said to be one.
        {{"-q", "a.update", "b.update"},
         "kpupdate: no file matches 'b.update'\nkpupdate: b.update looks like an update file; kpupdate reads one "
         "FILE a run\n",
         {"b.update"},
         "",
         255},
        {{"-q", "a.update", "1", "2", "3"},
         "kpupdate: warning: ignoring 2 arguments after INDEX\n",
         {"kernel.img"},
         ""},
        {{"-q", "a.update", "6x", "-a"}, "kpupdate: no file matches '6x'\n", all, "", 255},
        {{"-q", "a.update", "kernel.img", "settings.ini"}, "", {"kernel.img", "settings.ini"}, ""},
        {{"-q", "a.update", "-1"}, "", {}, ""},
        {{"-q", "a.update", "-a"}, "", all, ""},
        {{"a.update", "-q", "-C", "out", "-n", "kernel.img"}, "", {"out", "out/kernel.img"}, ""},
        // -l: standard output carries only rows, the mismatch goes to standard error.
        {{"a.update", "-l", "-p", "2"}, mismatch, {}, "    2\t       0\t00003400\tsettings.ini\n"},
        {{"a.update", "-l", "settings.ini"}, mismatch, {}, "    2\t       0\t00003400\tsettings.ini\n"},
        {{"a.update", "--json", "-q"}, "", {}, "{"},
        // tar's letters: -x writes every file, or the names after FILE, and no reports.
        {{"-v", "-xf", "a.update"}, "", all, mismatch + "bootloader.bin\n"},
        {{"-xf", "a.update", "kernel.img"}, "", {"kernel.img"}, mismatch},
        {{"a.update", "--", "-a"}, "kpupdate: no file matches '-a'\n", {}, test::banner, 255},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args[2]);
        TempDir work;
        std::filesystem::create_directory(work.file("out"));
        std::filesystem::copy_file(dir.file("b.update"), work.file("b.update"));
        test::ToolOptions options;
        options.cwd = work.path();
        std::vector<std::string> args = c.args;
        *std::find(args.begin(), args.end(), "a.update") = dir.file("a.update");  // FILE, not INDEX
        const test::ToolRun run = run_tool(args, options);
        EXPECT_EQ(run.status, c.status);
        const std::string out = c.out.empty() ? mismatch : c.out;
        EXPECT_EQ(run.out.substr(0, out.size()), out);
        EXPECT_EQ(run.err, c.err);
        std::vector<std::string> written = c.written;
        for (const char* always : {"out", "b.update"}) {
            if (std::find(written.begin(), written.end(), always) == written.end()) written.push_back(always);
        }
        std::sort(written.begin(), written.end());
        EXPECT_EQ(test::tree(work.path()), written);
    }
}

// --index takes the numbers JSON prints, --position reaches an entry that later ones
// hide, and --list shows what a selection picks without writing it.
TEST(Messages, SelectorsReachEveryEntry) {
    TempDir dir;
    build::Archive plan;
    plan.entries = {{"a.bin", 0xFFFFFFFF, 6, {1, 0, 0, 0}, "hidden"},
                    {"a.bin", 0xFFFFFFFF, 6, {2, 0, 0, 0}, "latest"},
                    {"fw/k.img", 7, 30, {3, 0, 0, 0}, ""}};
    test::write_file(dir.file("a.update"), build::bytes(plan));
    const std::string hidden_row = "   -1\t       6\t00000200\ta.bin\n";
    const std::string latest_row = "   -1\t       6\t00000400\ta.bin\n";
    const std::string kernel_row = "    7\t      30\t00000600\tfw/k.img\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } cases[] = {
        {{"-l"}, 0, hidden_row + latest_row + kernel_row},
        {{"-l", "-I", "**/*.img", "-I", "none*"}, 255, "ERROR: no file matches none* in archive.\n" + kernel_row},
        {{"--list", "--index=4294967295"}, 0, latest_row},
        {{"-l", "--index", "-1", "--index=8"}, 255, "ERROR: no file with index 8 in archive.\n" + latest_row},
        {{"-l", "-p", "0", "--position=3"}, 255, "ERROR: no file at position 3 in archive.\n" + hidden_row},
        {{"-l", "-p", "0", "-a"}, 0, latest_row + kernel_row},  // one file: the latest of the two
        {{"-O", "--trim", "-p", "0"}, 0, "hidden"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        test::ToolOptions options;
        options.cwd = dir.path();
        std::vector<std::string> args = c.args;
        args.push_back("a.update");
        const test::ToolRun run = run_tool(args, options);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(test::tree(dir.path()), std::vector<std::string>{"a.update"});
    }
}

}  // namespace
}  // namespace kp
