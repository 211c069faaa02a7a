// --create run by the binary, at the files it reads and the one it writes: NEW in place of
// a file, of the longest name too, never of a device and looked at again as it takes its
// name; what is no regular file never opened, and a failed open or write told.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include "fs/files.h"
#include "fs/new_files.h"
#include "fs/testing.h"
#include "support/create.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::in;
using test::run_tool;
using test::TempDir;
using test::write_file;

#ifndef _WIN32

// NEW of a name as long as a directory allows is made, and made again in its own place:
// the temporary name beside it is shortened to fit.
TEST(Create, ReplacesANewOfTheLongestName) {
    TempDir dir;
    write_file(dir.file("a"), "a");
    const std::string name(250, 'n');
    for (int round = 0; round < 2; ++round) {
        const test::ToolRun run = run_tool({"-c", name, "a"}, in(dir.path()));
        EXPECT_EQ(run.err, "") << round;
        EXPECT_EQ(run.status, 0);
    }
    use_portable_file_calls(true);  // the named temporary, in this process, as it would be without O_TMPFILE
    const FileHandle directory = open_target_directory(dir.path());
    PendingFile pending;
    ASSERT_TRUE(create_pending_file(pending, directory, name));
    EXPECT_EQ(commit_pending_file(pending, name, Existing::replace), Placed::written);
    use_portable_file_calls(false);
    close_directory(directory);
    EXPECT_EQ(test::tree(dir.path()), (std::vector<std::string>{"a", name}));
}

// NEW that is a device stays the device: nothing is written into it or in its place.
TEST(Create, NeverReplacesADevice) {
    TempDir dir;
    write_file(dir.file("a"), "a");
    if (::mknod(dir.file("dev").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) {
        GTEST_SKIP() << "no device node can be made here";
    }
    const test::ToolRun run = run_tool({"-c", "dev", "a"}, in(dir.path()));
    EXPECT_EQ(run.err,
              "kpupdate: dev: a device; --create writes NEW only where there is nothing or a regular file "
              "(NEW '-' writes to standard output)\nkpupdate: dev was not written\n");
    struct stat status {};
    ASSERT_EQ(::lstat(dir.file("dev").c_str(), &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode));
}

// NEW is looked at once more, through its directory, as it is replaced: a FIFO put at
// its name while the file is written is refused and left as it is.
TEST(Create, LooksAtNewAgainAsItTakesItsName) {
    TempDir dir;
    write_file(dir.file("a.bin"), "a");
    write_file(dir.file("big.bin"), "");
    fs::resize_file(dir.file("big.bin"), 512u << 20);  // sparse: long enough to write that the FIFO comes first
    test::ToolOptions options = in(dir.path());
    options.stderr_terminal_columns = 80;
    options.when_output_shows = "\rkpupdate: ";  // the writing has begun
    bool placed = false;
    options.at_output = [&] { placed = ::mkfifo(dir.file("n.update").c_str(), 0600) == 0; };
    const test::ToolRun run = run_tool({"-c", "--progress=always", "n.update", "a.bin", "big.bin"}, options);
    ASSERT_TRUE(placed) << "the file was named before the FIFO could be made";
    EXPECT_NE(run.err.find("n.update: a FIFO; --create writes NEW only where there is nothing or a regular file"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.status, 255);
    struct stat status {};
    ASSERT_EQ(::lstat(dir.file("n.update").c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_EQ(test::tree(dir.path()), (std::vector<std::string>{"a.bin", "big.bin", "n.update"}));
}

// What the directory lists as no regular file is never opened: a device, or a FIFO's
// writer, may act on being opened.
TEST(Create, NeverOpensWhatIsNoRegularFile) {
    TempDir dir;
    write_file(dir.file("a.bin"), "a");
    ASSERT_EQ(::mkfifo(dir.file("p").c_str(), 0600), 0);
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dir.file("p").c_str(), IN_OPEN), 0);
    const test::ToolRun run = run_tool({"-c", "n.update", "."}, in(dir.path()));
    EXPECT_EQ(run.err, "kpupdate: p: a FIFO, which an update file cannot hold\nkpupdate: n.update was not written\n");
    char events[4096];
    EXPECT_LT(::read(watch, events, sizeof events), 0) << "it was opened";
    ::close(watch);
}

#endif

// Past a file-size limit the write fails as any write does, and leaves no file.
TEST(Create, LeavesNothingWhereTheWriteFails) {
    if (!test::posix_child_controls) GTEST_SKIP() << "needs RLIMIT_FSIZE";
    TempDir dir;
    write_file(dir.file("big.bin"), std::string(100000, 'x'));
    test::ToolOptions limited;
    limited.cwd = dir.path();
    limited.file_size_limit = 40000;
    const test::ToolRun run = run_tool({"-c", "n.update", "big.bin"}, limited);
    EXPECT_EQ(run.err, "kpupdate: n.update: File too large\nkpupdate: n.update was not written\n");
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(test::tree(dir.path()), std::vector<std::string>{"big.bin"});
}

// A regular file the system will not open for it is told with the system's words.
TEST(Create, TellsWhyAFileWouldNotOpen) {
    TempDir dir;
    write_file(dir.file("a.bin"), "a");
#ifdef _WIN32
    // Held without sharing: no other opening reads it.
    const HANDLE held = ::CreateFileW(fs::path(dir.file("a.bin")).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
#else
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    fs::permissions(dir.file("a.bin"), fs::perms::none);
#endif
    const test::ToolRun run = run_tool({"-c", "n.update", "a.bin"}, in(dir.path()));
#ifdef _WIN32
    ::CloseHandle(held);
#endif
#ifdef _WIN32
    ::SetLastError(ERROR_SHARING_VIOLATION);
#else
    errno = EACCES;
#endif
    EXPECT_EQ(run.err, "kpupdate: a.bin: " + last_error_text() + "\nkpupdate: n.update was not written\n");
    EXPECT_EQ(run.status, 255);
}

}  // namespace
}  // namespace kp
