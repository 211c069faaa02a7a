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

namespace kp {
namespace {

// --exclude, --files-from (with --null, and from standard input) and --strip-components
// pick what the same selection made with --name picks; what they cannot do is said.
TEST(Messages, TarSelectionsAreNameSelections) {
    TempDir dir;
    build::Archive plan;
    plan.entries = {{"fw/boot.bin", 1, 5, {1, 0, 0, 0}, "boot"},
                    {"fw/k.img", 2, 5, {2, 0, 0, 0}, "kern"},
                    {"docs/readme.txt", 3, 5, {3, 0, 0, 0}, "read"},
                    {"top.bin", 4, 5, {4, 0, 0, 0}, "top"},
                    {"fw/sub/deep.bin", 5, 5, {5, 0, 0, 0}, "deep"},
                    {"./x/dot.bin", 6, 5, {6, 0, 0, 0}, "dot"},  // './' and '//' are no parts to strip
                    {"y//dbl.bin", 7, 5, {7, 0, 0, 0}, "dbl"}};
    test::write_file(dir.file("a.update"), build::bytes(plan));
    test::write_file(dir.file("list.txt"), "top.bin\n\nfw/k.img\n");
    test::write_file(dir.file("list2.txt"), "docs/readme.txt\n");
    test::write_file(dir.file("list0"), std::string("docs/readme.txt\0fw/sub/deep.bin\0", 32));
    test::write_file(dir.file("gone.txt"), "gone\ntop.bin\n");
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> same_as;  // empty: see `out`, `err` and `tree`
        std::string input;                 // standard input
        int status = 0;
        std::string err;
        std::vector<std::string> tree;
    } cases[] = {
        {{"-a", "--exclude=**/*.txt", "--exclude", "fw/sub/*"},
         {"-n", "fw/boot.bin", "-n", "fw/k.img", "-n", "top.bin", "-n", "./x/dot.bin", "-n", "y//dbl.bin"},
         "",
         0,
         "",
         {}},
        {{"-T", "list.txt"}, {"-n", "top.bin", "-n", "fw/k.img"}, "", 0, "", {}},
        {{"-T", "list.txt", "--files-from=list2.txt"},  // every list counts
         {"-n", "top.bin", "-n", "fw/k.img", "-n", "docs/readme.txt"},
         "",
         0,
         "",
         {}},
        {{"--null", "--files-from=list0"}, {"-n", "docs/readme.txt", "-n", "fw/sub/deep.bin"}, "", 0, "", {}},
        {{"-T", "-"}, {"-n", "top.bin"}, "top.bin\n", 0, "", {}},
        {{"-l", "--exclude=fw/*"},  // fw/sub with everything below it
         {"-l", "-n", "docs/readme.txt", "-n", "top.bin", "-n", "./x/dot.bin", "-n", "y//dbl.bin"},
         "",
         0,
         "",
         {}},
        {{"-T", "gone.txt"}, {"-n", "gone", "-n", "top.bin"}, "", 255, "", {}},
        {{"-T", "nosuch.txt"}, {}, "", 255, "kpupdate: nosuch.txt: No such file or directory\n", {}},
        {{"-av", "--strip-components=1"},
         {},
         "",
         0,
         "kpupdate: warning: '--strip-components=1' leaves no name of 1 file, which was skipped\n",
         {"boot.bin", "dbl.bin", "dot.bin", "k.img", "readme.txt", "sub", "sub/deep.bin"}},
        {{"-a", "--strip-components=3"},
         {},
         "",
         0,
         "kpupdate: warning: '--strip-components=3' leaves no name of 7 files, which were skipped\n",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const auto run = [&](const std::vector<std::string>& args) {
            std::filesystem::remove_all(dir.file("out"));
            std::filesystem::create_directory(dir.file("out"));
            test::ToolOptions options;
            options.cwd = dir.path();
            if (!c.input.empty()) options.stdin_bytes = c.input;
            std::vector<std::string> all = {"-q", "-C", "out"};
            if (args[0] == "-l") all = {"-q"};
            all.insert(all.end(), args.begin(), args.end());
            all.push_back("a.update");
            std::pair<test::ToolRun, std::vector<std::string>> result{run_tool(all, options),
                                                                      test::tree(dir.file("out"))};
            return result;
        };
        const auto [got, tree] = run(c.args);
        EXPECT_EQ(got.status, c.status);
        if (c.same_as.empty()) {
            EXPECT_EQ(got.err, c.err);
            EXPECT_EQ(tree, c.tree);
            continue;
        }
        const auto [wanted, wanted_tree] = run(c.same_as);
        EXPECT_EQ(got.out, wanted.out);
        EXPECT_EQ(got.err, wanted.err);
        EXPECT_EQ(tree, wanted_tree);
    }
    // --test notes nothing of the files excluded: neither a name they repeat nor one refused.
    build::Archive noted;
    noted.entries = {{"a.bin", 1, 5, {1, 0, 0, 0}, "a"},
                     {"a.bin", 2, 5, {2, 0, 0, 0}, "b"},
                     {"b/../c.bin", 3, 5, {3, 0, 0, 0}, "c"}};
    test::write_file(dir.file("noted.update"), build::bytes(noted));
    test::ToolOptions options;
    options.cwd = dir.path();
    const test::ToolRun all = run_tool({"-qt", "noted.update"}, options);
    EXPECT_NE(all.out.find("a.bin is not written by --all"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("c.bin has a name that extraction would refuse"), std::string::npos) << all.out;
    const test::ToolRun excluded = run_tool({"-qt", "--exclude=a.bin", "--exclude=b/**", "noted.update"}, options);
    EXPECT_EQ(excluded.out, "\n--- Test of the file: ---\nOK: 3 files, no damage found.\n");
}

// A file of another format is named for what it is, and the command that reads it; the
// line on standard output and the status stay those of a file that is no update file.
// Each file is made by the tool people make it with.
TEST(Messages, NameWhatAFileIsInstead) {
    if (!test::posix_child_controls) GTEST_SKIP() << "the compressors are POSIX programs";
    TempDir dir;
    test::write_file(dir.file("fw.update"), build::bytes(build::sample()));
    const struct {
        const char* tool;  // run in the directory, makes `made`
        const char* made;
        std::string reason;
    } cases[] = {
        {"gzip -k fw.update", "fw.update.gz", "gzip-compressed data (try: zcat fw.update.gz | kpupdate -)"},
        {"xz -k fw.update", "fw.update.xz", "xz-compressed data (try: xzcat fw.update.xz | kpupdate -)"},
        {"zstd -q fw.update", "fw.update.zst", "zstd-compressed data (try: zstdcat fw.update.zst | kpupdate -)"},
        {"bzip2 -k fw.update", "fw.update.bz2", "bzip2-compressed data (try: bzcat fw.update.bz2 | kpupdate -)"},
        {"zip -q fw.zip fw.update", "fw.zip", "a zip archive (try: unzip -l fw.zip)"},
        {"tar -cf fw.tar fw.update", "fw.tar", "a tar archive (try: tar -tvf fw.tar)"},
        {"cp /bin/sh program", "program", "an ELF program"},
    };
    test::ToolOptions options;
    options.cwd = dir.path();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tool);
        const std::string tool = c.tool;
        if (std::system(("command -v " + tool.substr(0, tool.find(' ')) + " >/dev/null").c_str()) != 0) {
            ADD_FAILURE() << tool.substr(0, tool.find(' ')) << " is not installed";
            continue;
        }
        ASSERT_EQ(std::system(("cd '" + dir.path() + "' && " + tool).c_str()), 0);
        const test::ToolRun run = run_tool({"-q", c.made}, options);
        EXPECT_TRUE(run.out.ends_with("ERROR: syntax-error or EOF in file " + std::string(c.made) + ".\n")) << run.out;
        EXPECT_EQ(run.err.substr(run.err.rfind("kpupdate: ")),
                  "kpupdate: " + std::string(c.made) + ": not an update file: " + c.reason + "\n");
        EXPECT_EQ(run.status, 254);
    }
    options.stdin_bytes = test::read_file(dir.file("fw.update.gz"));
    EXPECT_TRUE(
        run_tool({"-q", "-"}, options)
            .err.ends_with("kpupdate: -: not an update file: gzip-compressed data (try: ... | zcat | kpupdate -)\n"));
}

// --exclude is unanchored, as GNU tar's is, wherever it applies; -I stays anchored.
TEST(Messages, ExclusionsMatchAtAnyDepthEverywhere) {
    TempDir dir;
    build::Archive plan;
    plan.entries = {{"lib/m/x.ko", 1, 2, {1, 0, 0, 0}, "xk"},
                    {"lib/n/y.ko", 2, 2, {2, 0, 0, 0}, "yk"},
                    {"lib/m/readme", 3, 2, {3, 0, 0, 0}, "rm"},
                    {"top.ko", 4, 2, {4, 0, 0, 0}, "tk"}};
    test::write_file(dir.file("a.update"), build::bytes(plan));
    test::ToolOptions options;
    options.cwd = dir.path();
    const auto rows = [](const test::ToolRun& run) {
        std::string names;
        for (std::size_t at = 0; at < run.out.size(); at = run.out.find('\n', at) + 1) {
            const std::size_t tab = run.out.rfind('\t', run.out.find('\n', at));
            names += run.out.substr(tab + 1, run.out.find('\n', at) - tab - 1) + " ";
        }
        return names;
    };
    EXPECT_EQ(rows(run_tool({"-l", "--exclude", "*.ko", "a.update"}, options)), "lib/m/readme ");
    EXPECT_EQ(rows(run_tool({"-l", "--exclude", "m/*.ko", "a.update"}, options)), "lib/n/y.ko lib/m/readme top.ko ");
    EXPECT_EQ(rows(run_tool({"-l", "--exclude", "lib", "a.update"}, options)), "top.ko ");
    EXPECT_EQ(rows(run_tool({"-l", "-I", "*.ko", "a.update"}, options)), "top.ko ");
    std::filesystem::create_directory(dir.file("out"));
    EXPECT_EQ(run_tool({"-qa", "--exclude=*.ko", "-C", "out", "a.update"}, options).status, 0);
    EXPECT_EQ(test::tree(dir.file("out")), (std::vector<std::string>{"lib", "lib/m", "lib/m/readme"}));
    test::write_file(dir.file("out/lib/n/z.ko"), "");  // an extra file, excluded as an entry would be
    EXPECT_EQ(run_tool({"-q", "--diff=out", "--exclude", "*.ko", "a.update"}, options).out,
              "--- Differences from out: ---\nSAME: 1 file.\n");
    ASSERT_EQ(run_tool({"-c", "b.update", "-C", "out", "--exclude", "*.ko", "."}, options).status, 0);
    EXPECT_EQ(rows(run_tool({"-l", "b.update"}, options)), "lib/m/readme ");
}

}  // namespace
}  // namespace kp
