// Every path a run reads is resolved once: FILE, and the current directory as the target.
// Whatever happens to their names during the run, the run goes on with what it opened.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive_builder.h"
#include "cli/inputs.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::run_tool;
using test::TempDir;
using test::write_file;

build::Archive numbered(int count, const std::string& data) {
    build::Archive plan;
    for (int i = 0; i < count; ++i) {
        plan.entries.push_back({"f" + std::to_string(i) + ".bin",
                                static_cast<std::uint32_t>(i),
                                100,
                                {static_cast<std::uint64_t>(i), 0, 0, 0},
                                data});
    }
    return plan;
}

TEST(SetBaseDirectory, NormalisesSeparatorsAndAppendsOne) {
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\work", "C:/work/"}, {"C:/", "C://"}, {"/home/user", "/home/user/"}, {"/", "//"}, {"", ""},
        {"work", "work"},
    };
    for (const auto& [directory, expected] : cases) {
        EXPECT_EQ(base_directory_of(directory), expected) << directory;
    }
}

// Held on a full standard output while its name is given to another update file, the
// run extracts the file it listed.
TEST(ResolvedOnce, FileRenamedOverWhileTheRunIsHeld) {
    if (!test::posix_child_controls) GTEST_SKIP() << "a rename over an open file is Windows' to refuse";
    TempDir dir;
    // A listing well past a pipe's 64 KiB; not a multiple of 4 files, whose first chunk
    // would begin with the last directory record.
    const build::Archive plan = numbered(3001, "listed");
    write_file(dir.file("f.update"), build::bytes(plan));
    write_file(dir.file("other.update"), build::bytes(numbered(3001, "OTHER!")));
    fs::create_directory(dir.file("out"));
    test::ToolOptions options;
    options.cwd = dir.path();
    options.before_stdout = [&] {  // it has loaded FILE, and waits inside the listing
        fs::rename(dir.file("other.update"), dir.file("f.update"));
    };
    const test::ToolRun run = run_tool({"-t", "-a", "--trim", "-C", "out", "f.update"}, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir.file("out/f0.bin")).substr(0, 6), "listed");
    EXPECT_EQ(read_file(dir.file("out/f3000.bin")).substr(0, 6), "listed");
}

// The default target is the directory the run stands in, opened once: renamed away with
// a link put at its old name, or removed, while a stream holds the run after its
// directory, it gets every file or none, and nothing lands behind the link.
TEST(ResolvedOnce, CurrentDirectoryMovedOrRemovedUnderAStream) {
    if (!test::posix_child_controls) GTEST_SKIP() << "Windows holds a process's current directory";
    const build::Archive plan = numbered(40, "");
    const std::string bytes = build::bytes(plan);
    for (const bool removed : {false, true}) {
        SCOPED_TRACE(removed ? "removed" : "moved");
        TempDir dir;
        fs::create_directories(dir.file("work"));
        fs::create_directories(dir.file("elsewhere"));
        test::ToolOptions options;
        options.cwd = dir.file("work");
        options.stdin_bytes = bytes;
        options.stdin_pause_at = build::data_start_of(40);  // the directory, and no byte of data
        options.at_stdin_pause = [&] {
            if (removed) {
                fs::remove(dir.file("work"));
            } else {
                fs::rename(dir.file("work"), dir.file("moved"));
                fs::create_directory_symlink("elsewhere", dir.file("work"));
            }
        };
        const test::ToolRun run = run_tool({"-qa", "-"}, options);
        EXPECT_TRUE(fs::is_empty(dir.file("elsewhere")));
        if (removed) {
            EXPECT_EQ(run.status, 255);
            EXPECT_NE(run.err.find("kpupdate: f39.bin: No such file or directory\n"), std::string::npos) << run.err;
        } else {
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(test::tree(dir.file("moved")).size(), 40u);
        }
    }
}

// On POSIX a backslash is a character like any other: a current directory named `x\y`
// beside a link `x/y` is where files go, for every form that writes into it, and a name
// holding one is written under that name.
TEST(ResolvedOnce, BackslashesArePlainCharactersOnPosix) {
    if (!test::posix_child_controls) GTEST_SKIP() << "on Windows a backslash separates";
    build::Archive plan;
    plan.entries = {{"a.bin", 1, 5, {1, 0, 0, 0}, "first"}, {"b\\c.bin", 2, 6, {2, 0, 0, 0}, "second"}};
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> written;
    } cases[] = {
        {{"-qa", "../t.update"}, {"a.bin", "b\\c.bin"}},
        {{"-q", "-n", "b\\c.bin", "../t.update"}, {"b\\c.bin"}},
        {{"../t.update", "1"}, {"a.bin"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1]);
        TempDir dir;
        write_file(dir.file("t.update"), build::bytes(plan));
        fs::create_directories(dir.file("x\\y"));
        fs::create_directories(dir.file("x"));
        fs::create_directories(dir.file("elsewhere"));
        fs::create_directory_symlink("../elsewhere", dir.file("x/y"));
        test::ToolOptions options;
        options.cwd = dir.file("x\\y");
        EXPECT_EQ(run_tool(c.args, options).status, 0);
        EXPECT_EQ(test::tree(dir.file("x\\y")), c.written);
        EXPECT_TRUE(fs::is_empty(dir.file("elsewhere")));
    }
}

// A FILE that does not open is tried once more under the current directory, as the
// directory's name and FILE joined would have it: "/t.update" is found there.
TEST(ResolvedOnce, RetriesUnderTheCurrentDirectory) {
    TempDir dir;
    const std::string name = "kpupdate-retry-" + fs::path(dir.path()).filename().string() + ".update";
    ASSERT_FALSE(fs::exists("/" + name));
    write_file(dir.file(name), build::bytes(numbered(1, "")));
    test::ToolOptions options;
    options.cwd = dir.path();
    const test::ToolRun run = run_tool({"-l", "/" + name}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "    0\t     100\t00000200\tf0.bin\n");
}

// -v and JSON name a written file as the user named its target: under -C as given, one
// separator between, or the entry's name alone in the current directory.
TEST(ResolvedOnce, WrittenPathsAreTheUsersOwn) {
    TempDir dir;
    build::Archive plan;
    plan.entries = {{"fw/a.bin", 1, 5, {1, 0, 0, 0}, "first"}, {"gw/b.bin", 2, 6, {2, 0, 0, 0}, "second"}};
    write_file(dir.file("t.update"), build::bytes(plan));
    fs::create_directories(dir.file("out"));
    test::ToolOptions options;
    options.cwd = dir.path();
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-qva", "t.update"}, ""},
        {{"-qva", "-C", "out", "t.update"}, "out/"},
        {{"-qva", "-C", "out/", "t.update"}, "out/"},
        {{"-qva", "-C", "./out//", "t.update"}, "./out//"},
    };
    for (const auto& [args, under] : cases) {
        SCOPED_TRACE(args[args.size() - 2]);
        EXPECT_EQ(run_tool(args, options).out, under + "fw/a.bin\n" + under + "gw/b.bin\n");
        // Each in its own directory: the directory held for one is not the other's.
        EXPECT_EQ(test::read_file(dir.file(under + "gw/b.bin")).substr(0, 6), "second");
        std::vector<std::string> json = args;
        json[0] = "--json";
        json.insert(json.begin() + 1, "-a");
        const std::string document = run_tool(json, options).out;
        EXPECT_NE(document.find("\"path\": \"" + under + "gw/b.bin\""), std::string::npos) << document;
    }
}

}  // namespace
}  // namespace kp
