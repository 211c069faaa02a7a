// New files: temporaries made only where nothing is and their owner's alone, modes as
// the umask leaves them, and a concurrent writer inside the target.
#include "fs/new_files.h"

#include <gtest/gtest.h>

#include "fs/files_support.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::entry;
using test::read_file;
using test::run_portable;
using test::TempDir;
using test::write_file;

#ifndef _WIN32

// A temporary is made only where nothing has its name: a file planted there first (here
// a second name of a file elsewhere) is never opened, let alone written into.
TEST(PortableFileCalls, TemporariesAreMadeOnlyWhereNothingIs) {
    TempDir dir;
    write_file(dir.file("victim"), "untouched");
    fs::create_directory(dir.file("out"));
    fs::create_hard_link(dir.file("victim"), dir.file("out/a.bin.planted"));
    use_portable_file_calls(true);
    use_temporary_suffix(".planted");
    const FileHandle directory = open_target_directory(dir.file("out"));
    PendingFile file;
    const bool made = create_pending_file(file, directory, "a.bin");
    if (made) {
        ::write(descriptor(file.handle), "written", 7);
        discard_pending_file(file);
    }
    use_temporary_suffix({});
    use_portable_file_calls(false);
    close_directory(directory);
    EXPECT_FALSE(made);
    EXPECT_EQ(read_file(dir.file("victim")), "untouched");
}

// A named temporary is its owner's alone while it is written, and takes a new file's
// mode, or the mode of the file it replaces, only as it takes its name.
TEST(PortableFileCalls, TemporariesAreTheOwnersAloneUntilNamed) {
    const mode_t before = ::umask(022);
    use_portable_file_calls(true);
    for (const Existing existing : {Existing::replace, Existing::keep}) {
        for (const bool planted : {false, true}) {
            SCOPED_TRACE(std::string(existing == Existing::keep ? "keep" : "replace") + (planted ? ", planted" : ""));
            TempDir dir;
            if (planted) {
                write_file(dir.file("a.bin"), "old");
                ::chmod(dir.file("a.bin").c_str(), 0640);
            }
            const FileHandle directory = open_target_directory(dir.path());
            PendingFile file;
            ASSERT_TRUE(create_pending_file(file, directory, "a.bin"));
            struct stat status {};
            ASSERT_EQ(::fstatat(descriptor(directory), file.temporary.c_str(), &status, AT_SYMLINK_NOFOLLOW), 0);
            EXPECT_EQ(status.st_mode & 07777, 0600u);
            const Placed placed = commit_pending_file(file, "a.bin", existing);
            EXPECT_EQ(placed, planted && existing == Existing::keep ? Placed::kept : Placed::written);
            ASSERT_EQ(::stat(dir.file("a.bin").c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 07777, planted ? 0640u : 0644u);
            EXPECT_EQ(test::tree(dir.path()), std::vector<std::string>{"a.bin"});
            close_directory(directory);
        }
    }
    use_portable_file_calls(false);
    ::umask(before);
}

// A replaced file's permission bits pass to the new one less the umask, as a new file's
// are, and never with the set-id bits: a file planted with 0777 gives its planter no file
// he may write.
TEST(ExistingFiles, ReplacedModesLoseWhatTheUmaskTakes) {
    build::Archive plan;
    plan.entries = {entry("a.bin", 1, 10, "new")};
    const std::pair<mode_t, mode_t> modes[] = {{0777, 0755}, {0666, 0644}, {0600, 0600}, {04755, 0755}, {0700, 0700}};
    // Extraction, by the program and the portable ways, and --create, whose new file is
    // made without a name and replaces the old one under a temporary name.
    for (const char* way : {"extract", "portable", "create"}) {
        for (const auto& [planted, replaced] : modes) {
            SCOPED_TRACE(std::to_string(planted) + ", " + way);
            TempDir dir;
            write_file(dir.file("a.update"), build::bytes(plan));
            fs::create_directory(dir.file("out"));
            write_file(dir.file("out/a.bin"), "planted");
            ASSERT_EQ(::chmod(dir.file("out/a.bin").c_str(), planted), 0);
            const std::string_view chosen = way;
            const std::vector<std::string> args =
                chosen == "create"
                    ? std::vector<std::string>{"--create", dir.file("out/a.bin"), "-C", dir.path(), "a.update"}
                    : std::vector<std::string>{"-qa", "-C", dir.file("out"), dir.file("a.update")};
            if (chosen == "portable") {
                const mode_t before = ::umask(022);
                EXPECT_EQ(run_portable(args).status, 0);
                ::umask(before);
            } else {
                test::ToolOptions options;
                options.umask = 022;
                EXPECT_EQ(test::run_tool(args, options).status, 0);
            }
            struct stat status {};
            ASSERT_EQ(::stat(dir.file("out/a.bin").c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 07777, replaced);
            EXPECT_NE(read_file(dir.file("out/a.bin")), "planted");
        }
    }
}

// in that other directory.
// Two runs making the same new tree at once both succeed: a directory the other made
// meanwhile is as good as one made here, and each file is one run's whole bytes.
TEST(ConcurrentWriter, TwoRunsMakeOneTree) {
    TempDir dir;
    build::Archive plan;
    for (std::uint32_t i = 0; i < 401; ++i) {  // not a multiple of 4: entry 0 starts with its own bytes
        const std::string at =
            "t" + std::to_string(i % 7) + "/u" + std::to_string(i % 13) + "/v" + std::to_string(i % 3);
        plan.entries.push_back(entry(at + "/f" + std::to_string(i), i, 100, "file " + std::to_string(i)));
    }
    write_file(dir.file("a.update"), build::bytes(plan));
    fs::create_directory(dir.file("out"));
    const std::vector<std::string> args = {"-qa", "--trim", "-C", dir.file("out"), dir.file("a.update")};
    test::ToolRun first;
    std::thread other([&] { first = test::run_tool(args); });
    const test::ToolRun second = test::run_tool(args);
    other.join();
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(second.status, 0) << second.err;
    for (std::uint32_t i = 0; i < 401; i += 37) {
        const build::Entry& e = plan.entries[i];
        EXPECT_EQ(read_file(dir.file("out/" + e.name)).substr(0, e.data.size()), e.data);
    }
    std::size_t files = 0;
    for (const std::string& path : test::tree(dir.file("out"))) files += fs::is_regular_file(dir.file("out/" + path));
    EXPECT_EQ(files, 401u);
}

TEST(ConcurrentWriter, CannotLeadAFileOutsideTheTarget) {
    TempDir dir;
    build::Archive plan;
    for (std::uint32_t i = 0; i < 3000; ++i) plan.entries.push_back(entry("d/s/f" + std::to_string(i), i, 64));
    write_file(dir.file("a.update"), build::bytes(plan));
    fs::create_directories(dir.file("outside"));
    const std::string out = dir.file("out");
    fs::create_directories(out + "/d/s");
    fs::create_directory_symlink(dir.file("outside"), out + "/d/link");
    fs::create_directory_symlink(dir.file("outside"), out + "/link");
    if (::renameat2(AT_FDCWD, (out + "/d/s").c_str(), AT_FDCWD, (out + "/d/link").c_str(), RENAME_EXCHANGE) != 0) {
        GTEST_SKIP() << "no renameat2(RENAME_EXCHANGE) here";
    }
    std::atomic<bool> stop = false;
    std::thread swapper([&] {
        for (unsigned i = 0; !stop; ++i) {
            const bool deep = i % 4 != 0;  // mostly d/s, now and then d itself
            const std::string a = out + (deep ? "/d/s" : "/d");
            const std::string b = out + (deep ? "/d/link" : "/link");
            ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
        }
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int runs = 0;
    while (std::chrono::steady_clock::now() < until || runs < 3) {
        const test::ToolRun run = test::run_tool({"-qa", "-C", out, dir.file("a.update")});
        EXPECT_TRUE(run.status == 0 || run.status == 255) << run.status;
        EXPECT_TRUE(fs::is_empty(dir.file("outside"))) << "after run " << runs;
        ++runs;
        if (!fs::is_empty(dir.file("outside"))) break;
    }
    stop = true;
    swapper.join();
}

// Replacing by an exchange of names, at each thing that may stand at the name by the
// time of the exchange: the old file goes, a symbolic link is replaced and not followed,
// a free name is simply taken, and a directory that took the name keeps it, whole.
TEST(ConcurrentWriter, ReplacingByExchangeNeverMovesADirectoryAside) {
    const struct {
        const char* at_name;  // what stands at "x"
        bool placed;
        int error;  // when not placed
    } cases[] = {{"file", true, 0}, {"link", true, 0}, {"nothing", true, 0}, {"directory", false, EISDIR}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.at_name);
        TempDir dir;
        write_file(dir.file("elsewhere"), "theirs");
        write_file(dir.file("tmp"), "new");
        const std::string at_name = c.at_name;
        if (at_name == "file") write_file(dir.file("x"), "old");
        if (at_name == "link") fs::create_symlink(dir.file("elsewhere"), dir.file("x"));
        if (at_name == "directory") {
            fs::create_directory(dir.file("x"));
            write_file(dir.file("x/inside"), "theirs");
        }
        const int directory = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
        const bool placed = replace_by_exchange(directory, "tmp", "x");
        const int error = errno;
        EXPECT_EQ(placed, c.placed);
        if (!c.placed) {
            EXPECT_EQ(error, c.error);
        }
        ::close(directory);
        if (c.placed) {
            EXPECT_EQ(read_file(dir.file("x")), "new");
            EXPECT_FALSE(fs::is_symlink(dir.file("x")));
            EXPECT_EQ(test::tree(dir.path()), (std::vector<std::string>{"elsewhere", "x"}));
        } else {
            EXPECT_EQ(read_file(dir.file("x/inside")), "theirs");
            EXPECT_EQ(read_file(dir.file("tmp")), "new");
        }
        EXPECT_EQ(read_file(dir.file("elsewhere")), "theirs");
    }
}

#endif

}  // namespace
}  // namespace kp
