// New files: temporaries made only where nothing is and their owner's alone, and a
// replacement by an exchange of names that never moves a directory aside.
#include "fs/new_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "fs/files.h"
#include "fs/testing.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::read_file;
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
