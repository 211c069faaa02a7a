// What the binary says of tar's selections, of what a file is instead of an update
// file, and of exclusions at any depth.
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
