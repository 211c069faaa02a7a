// --diff through the binary where a side is damaged, unreadable, linked or raced.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#endif
#include <nlohmann/json.hpp>

#include "archive_builder.h"
#include "cli/diff_runs.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::run_tool;
using test::TempDir;

build::Archive base() {
    return test::diff_base();
}

// What the hand-made faults of the comparison would get wrong: a difference past the
// first piece read, damage on either side whatever the other holds, links on the way or
// at the leaf that hold the same bytes, and what JSON says of extra files and damage.
TEST(Diff, FindsWhatEachSideHolds) {
    build::Archive plan = base();
    plan.entries[0].size = 300000;
    plan.entries[0].data = std::string(300000, 'a');
    const std::string bytes = build::bytes(plan);
    std::string later = bytes;
    later[512 + 200000] = 'b';  // in a.bin, past the first 128 KiB
    std::string cut = bytes;
    cut.resize(cut.size() - 600);  // notes.txt lies past the end
    build::Archive fewer = plan;
    fewer.entries.pop_back();
    const std::string without_notes = build::bytes(fewer);
    build::Archive climbing = plan;  // names extraction refuses, whose files lie outside the tree
    climbing.entries.push_back({"../outside.bin", 9, 5, {}, "hello"});
    climbing.entries.push_back({"/etc/hostname", 10, 5, {}, "hello"});
    const std::string head = "--- Differences from old: ---\n";
    const struct {
        const char* what;
        std::string fresh;                               // the new side
        std::string old_side;                            // an update file, or empty for a directory made from `bytes`
        std::function<void(const std::string&)> change;  // to the directory
        std::vector<std::string> options;
        int status;
        std::string report;
    } cases[] = {
        {"a byte past the first piece, against a file",
         later,
         bytes,
         {},
         {},
         1,
         "changed: a.bin: bytes from 200000\nDIFFERENT: 0 added, 0 removed, 1 changed, 2 the same.\n"},
        {"a byte past the first piece, against a directory",
         later,
         "",
         {},
         {},
         1,
         "changed: a.bin: bytes from 200000\nDIFFERENT: 0 added, 1 changed, 0 extra, 2 the same.\n"},
        {"a directory's file that stops early, where it stops, as cmp says",
         bytes,
         "",
         [](const std::string& old) { std::filesystem::resize_file(old + "/a.bin", 250000); },
         {},
         1,
         "changed: a.bin: size 250000 -> 300000, bytes from 250000\n"
         "DIFFERENT: 0 added, 1 changed, 0 extra, 2 the same.\n"},
        {"an old side cut short, where the entry is removed",
         without_notes,
         cut,
         {},
         {"-n", "notes.txt"},
         254,
         "removed: notes.txt (index 3, 10 bytes)\n"
         "DAMAGE: notes.txt reaches 98 bytes past the end of the old file.\n"
         "DAMAGED: 0 added, 1 removed, 0 changed, 1 damaged, 0 the same.\n"},
        {"damage, whatever size the directory's file has",
         cut,
         "",
         [](const std::string& old) { test::write_file(old + "/notes.txt", "other size!"); },
         {},
         254,
         "changed: notes.txt: size 11 -> 10, bytes\n"
         "DAMAGE: notes.txt reaches 98 bytes past the end of the new file.\n"
         "DAMAGED: 0 added, 1 changed, 0 extra, 1 damaged, 2 the same.\n"},
        {"a damaged entry is never also the same",
         cut,
         "",
         {},
         {},
         254,
         "DAMAGE: notes.txt reaches 98 bytes past the end of the new file.\n"
         "DAMAGED: 0 added, 0 changed, 0 extra, 1 damaged, 2 the same.\n"},
        {"names outside the tree are never looked up",
         build::bytes(climbing),
         "",
         [](const std::string& old) { test::write_file(old + "/../outside.bin", "hello"); },
         {},
         1,
         "added:   ../outside.bin (index 9, 5 bytes)\nadded:   /etc/hostname (index 10, 5 bytes)\n"
         "DIFFERENT: 2 added, 0 changed, 0 extra, 3 the same.\n"},
        {"an extra file excluded as an entry is",
         bytes,
         "",
         [](const std::string& old) { test::write_file(old + "/fw/stray.bin", ""); },
         {"-a", "--exclude", "stray.bin"},
         0,
         "SAME: 3 files.\n"},
        {"--all lists extra files too",
         bytes,
         "",
         [](const std::string& old) { test::write_file(old + "/stray.bin", ""); },
         {"-a"},
         1,
         "extra:   stray.bin\nDIFFERENT: 0 added, 0 changed, 1 extra, 3 the same.\n"},
        // Links to the same bytes: one on the way makes the entry added, one at the leaf a
        // file that is not regular. Windows lets only the privileged make them.
        {"links in the tree are not followed",
         bytes,
         "",
         [](const std::string& old) {
             std::filesystem::rename(old, old + "-same");
             std::filesystem::create_directory(old);
             std::filesystem::create_symlink("../old-same/a.bin", old + "/a.bin");
             std::filesystem::create_directory_symlink("../old-same/fw", old + "/fw");
             std::filesystem::copy_file(old + "-same/notes.txt", old + "/notes.txt");
         },
         {},
         test::posix_child_controls ? 1 : -1,
         "added:   fw/k.img (index 2, 600 bytes)\nchanged: a.bin: not a regular file\nextra:   fw\n"
         "DIFFERENT: 1 added, 1 changed, 1 extra, 1 the same.\n"},
    };
    for (const auto& c : cases) {
        if (c.status < 0) continue;
        SCOPED_TRACE(c.what);
        TempDir dir;
        test::write_file(dir.file("new.update"), c.fresh);
        test::ToolOptions options;
        options.cwd = dir.path();
        if (c.old_side.empty()) {
            test::write_file(dir.file("made.update"), bytes);
            std::filesystem::create_directory(dir.file("old"));
            run_tool({"-qa", "--trim", "-C", "old", "made.update"}, options);
            if (c.change) c.change(dir.file("old"));
        } else {
            test::write_file(dir.file("old"), c.old_side);
        }
        std::vector<std::string> args = {"-q", "--diff=old"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back("new.update");
        const test::ToolRun run = run_tool(args, options);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, head + c.report);
        args[0] = "--json";
        const nlohmann::json diff = nlohmann::json::parse(run_tool(args, options).out).at("diff");
        if (c.status == 254) {
            EXPECT_EQ(diff.at("damaged").at(0).at("past_end"), 98);
        }
        if (c.what[0] == '-') {
            EXPECT_EQ(diff.at("extra"), nlohmann::json::parse(R"(["stray.bin"])"));
        }
        if (c.what[0] == 'a' && c.what[2] == 'b') {  // as cmp counts: where the first difference is
            EXPECT_EQ(diff.at("changed").at(0).at("first_difference"), 200000);
        }
    }
}

#ifndef _WIN32

// What the comparison cannot look at it never calls the same, added or changed: a
// directory or file it has no right to read, or runs out of descriptors for, fails by
// its name, with the system's words on standard error and in JSON, status 255.
TEST(Diff, NeverReportsWhatItCouldNotSee) {
    TempDir dir;
    build::Archive plan;
    plan.entries = {{"a.bin", 1, 1, {}, "a"}, {"hidden/c.bin", 2, 1, {}, "c"}, {"pub/b.bin", 3, 1, {}, "b"}};
    test::write_file(dir.file("f.update"), build::bytes(plan));
    for (const auto& [name, bytes] :
         {std::pair{"a.bin", "a"}, {"hidden/c.bin", "c"}, {"pub/b.bin", "b"}, {"hidden/deeper/extra.bin", "x"}}) {
        std::filesystem::create_directories(std::filesystem::path(dir.file("tree/" + std::string(name))).parent_path());
        test::write_file(dir.file("tree/" + std::string(name)), bytes);
    }
    // Nobody may read all but what a row locks, whatever the umask they were made under.
    ::chmod(dir.path().c_str(), 0755);
    for (const auto& item : std::filesystem::recursive_directory_iterator(dir.path())) {
        ::chmod(item.path().c_str(), item.is_directory() ? 0755 : 0644);
    }
    const struct {
        const char* what;
        const char* locked;  // made unreadable
        std::vector<std::string> args;
        std::string out;  // after the section's title
        std::string err;
    } cases[] = {
        {"a directory without rights",
         "tree/hidden",
         {"-q", "-a", "--diff=tree", "f.update"},
         "INCOMPLETE: 0 added, 0 changed, 0 extra, 1 unreadable, 2 the same.\n",
         "kpupdate: tree/hidden: Permission denied\n"},
        {"a file without rights",
         "tree/pub/b.bin",
         {"-q", "--diff=tree", "-a", "f.update"},
         "extra:   hidden/deeper/extra.bin\nINCOMPLETE: 0 added, 0 changed, 1 extra, 1 unreadable, 2 the same.\n",
         "kpupdate: tree/pub/b.bin: Permission denied\n"},
    };
    test::ToolOptions options;
    options.cwd = dir.path();
    options.unprivileged = true;
    // 126: the child could not enter the directory or become nobody; 127: nobody could
    // not run the program, even from its copy (a /tmp without exec, say).
    const int start = run_tool({"--version"}, options).status;
    if (start == 126 || start == 127) {
        GTEST_SKIP() << "a child run as nobody cannot start the program in " << dir.path() << " (status " << start
                     << ")";
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ::chmod(dir.file(c.locked).c_str(), 0);
        const test::ToolRun run = run_tool(c.args, options);
        EXPECT_EQ(run.out, "--- Differences from tree: ---\n" + c.out);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.status, 255);
        std::vector<std::string> json_args = c.args;
        json_args[0] = "--json";
        const nlohmann::json json = nlohmann::json::parse(run_tool(json_args, options).out).at("diff");
        EXPECT_EQ(json.at("unreadable").at(0).at("reason"), "Permission denied");
        ::chmod(dir.file(c.locked).c_str(), std::string(c.locked).ends_with(".bin") ? 0644 : 0755);
    }
    // However few descriptors it has, it says SAME only of what it read, and names what it
    // could not read.
    for (long open_files = 4; open_files <= 24; ++open_files) {
        SCOPED_TRACE(open_files);
        options.open_files_limit = open_files;
        const test::ToolRun run = run_tool({"-q", "-a", "--diff=tree", "f.update"}, options);
        if (run.status == 127) continue;  // too few for the dynamic loader of a sanitized build
        if (run.err.empty()) {
            EXPECT_EQ(run.out,
                      "--- Differences from tree: ---\nextra:   hidden/deeper/extra.bin\n"
                      "DIFFERENT: 0 added, 0 changed, 1 extra, 3 the same.\n");
        } else {
            EXPECT_NE(run.err.find(": Too many open files\n"), std::string::npos) << run.err;
            EXPECT_EQ(run.out.find("SAME"), std::string::npos) << run.out;
            EXPECT_EQ(run.out.find("DIFFERENT"), std::string::npos) << run.out;
            EXPECT_EQ(run.status, 255);
        }
    }
}

// While another process swaps a part of the compared tree for a link to a secret
// directory beside it, or a leaf for a FIFO, the comparison never reads the secret's
// bytes and never waits. The secret file has the entry's bytes, the tree's own not: a
// SAME would give the secret away.
TEST(Diff, HoldsAgainstARacerInTheTree) {
    build::Archive plan;
    plan.entries = {{"sub/f.bin", 1, 6, {}, "secret"}, {"g.bin", 2, 6, {}, "gggggg"}};
    TempDir dir;
    test::write_file(dir.file("new.update"), build::bytes(plan));
    std::filesystem::create_directories(dir.file("tree/sub"));
    std::filesystem::create_directories(dir.file("secret"));
    test::write_file(dir.file("tree/sub/f.bin"), "public");
    test::write_file(dir.file("secret/f.bin"), "secret");
    std::filesystem::create_directory_symlink("../secret", dir.file("tree/link"));
    test::write_file(dir.file("tree/g.bin"), "gggggg");
    ::mkfifo(dir.file("tree/fifo").c_str(), 0600);
    std::atomic<bool> racing = true;
    std::thread racer([&] {
        while (racing) {
            ::renameat2(AT_FDCWD, dir.file("tree/sub").c_str(), AT_FDCWD, dir.file("tree/link").c_str(),
                        RENAME_EXCHANGE);
            ::renameat2(AT_FDCWD, dir.file("tree/g.bin").c_str(), AT_FDCWD, dir.file("tree/fifo").c_str(),
                        RENAME_EXCHANGE);
        }
    });
    test::ToolOptions options;
    options.cwd = dir.path();
    options.interrupt_signal = SIGKILL;  // a run that waits on the FIFO ends here, and fails
    options.interrupt_after_ms = 10000;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int runs = 0;
    std::string wrong;  // the first answer that gave something away, or hung; ten runs however slow
    for (; runs < 200 && wrong.empty() && (runs < 10 || std::chrono::steady_clock::now() < until); ++runs) {
        const test::ToolRun run = run_tool({"-q", "--diff=tree", "-n", "sub/f.bin", "new.update"}, options);
        if (run.status != 1 || run.out.find(" 0 the same.") == std::string::npos) wrong = run.out;
        if (run_tool({"-q", "--diff=tree", "-n", "g.bin", "new.update"}, options).signal != 0) wrong = "hung";
    }
    racing = false;
    racer.join();
    EXPECT_EQ(wrong, "");
}

#endif

}  // namespace
}  // namespace kp
