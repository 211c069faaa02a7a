// What a source read from a file counts as: only the file measured, as a change watch
// sees it.
#include "fs/source.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

#include "fs/files.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::write_file;

// What was read from a file counts only while it is the file measured: not another file
// of the same stamp, not a directory. (A changed stamp: Create.RefusesAFileThatChanged...)
TEST(MeasuredFiles, AreReadOnlyAsTheFileMeasured) {
    TempDir dir;
    write_file(dir.file("a"), "aaaa");
    write_file(dir.file("b"), "bbbb");
    fs::create_directory(dir.file("d"));
    const FileHandle root = open_target_directory(dir.path());
    const LeafStatus a = measure_leaf(root, "a");
    const LeafStatus b = measure_leaf(root, "b");
    ASSERT_EQ(a.kind, LeafKind::regular);
    const struct {
        const char* what;
        const char* leaf;
        FileId id;
        std::optional<FileStamp> stamp;  // none: the opened file's own
        bool as_measured;
    } cases[] = {
        {"itself, unchanged", "a", a.id, a.stamp, true},
        {"another file, with that file's stamp", "b", a.id, b.stamp, false},
        {"a directory, as itself", "d", measure_leaf(root, "d").id, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SourceFile file;
        file.handle = open_measured(root, c.leaf);
        if (file.handle == no_file) {  // Windows opens no directory to be read
            EXPECT_FALSE(c.as_measured);
            continue;
        }
        FileStamp stamp;
        ASSERT_TRUE(c.stamp || stamp_of(file.handle, stamp));
        EXPECT_EQ(is_as_measured(file.handle, c.id, c.stamp.value_or(stamp)), c.as_measured);
        close_source(file);
    }
    close_directory(root);
}

// One look after a read stands for a look before it too only where the file's last
// change lies before the watch began, by the stamp's own fineness (a stamp of a whole
// second may stand for any moment of that second), and only on a file system that
// stamps changes by this system's clock: not /proc's files, nor anything on Windows.
TEST(MeasuredFiles, AreKnownUnchangedByOneLookOnlyWhereChangedBeforeTheWatch) {
    TempDir dir;
    write_file(dir.file("a"), "aaaa");
    const FileHandle root = open_target_directory(dir.path());
    SourceFile file;
    file.handle = open_measured(root, "a");
    const LeafStatus measured = measure_open(file.handle);
    ChangeWatch local = start_change_watch();
    unchanged_since(local, file.handle, measured);
    if (!local.local) {
        // Windows, or a temporary directory on a network or layered file system.
        EXPECT_FALSE(unchanged_since(local, file.handle, measured));
        close_source(file);
        close_directory(root);
        GTEST_SKIP() << "no file system here stamps changes by this system's clock";
    }
    constexpr std::int64_t second = 1000000000;
    constexpr std::int64_t since = 1000 * second + second / 2;  // a watch begun half way through a second
    const struct {
        const char* what;
        std::int64_t changed;
        LeafKind kind;
        bool unchanged;
    } cases[] = {
        {"changed just before", since - 1, LeafKind::regular, true},
        {"changed at that moment", since, LeafKind::regular, false},
        {"changed after", since + 1, LeafKind::regular, false},
        {"a whole second before that second", 999 * second, LeafKind::regular, true},
        {"the whole second it began in", 1000 * second, LeafKind::regular, false},
        {"not a regular file", since - second, LeafKind::directory, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LeafStatus status = measured;
        status.kind = c.kind;
        status.stamp.changed = c.changed;
        ChangeWatch watch = start_change_watch();
        watch.since = since;
        EXPECT_EQ(unchanged_since(watch, file.handle, status), c.unchanged);
        ChangeWatch unusable = watch;
        unusable.usable = false;
        EXPECT_FALSE(unchanged_since(unusable, file.handle, status));
    }
    // A change after the watch began, even within the clock's tick, is stamped no earlier.
    ChangeWatch begun = start_change_watch();
    write_file(dir.file("b"), "bbbb");
    SourceFile after;
    after.handle = open_measured(root, "b");
    EXPECT_FALSE(unchanged_since(begun, after.handle, measure_open(after.handle)));
    close_source(after);
#ifndef _WIN32
    SourceFile proc;  // stamped by no clock at all
    ASSERT_TRUE(open_source(proc, "/proc/self/status"));
    LeafStatus status = measure_open(proc.handle);
    ASSERT_EQ(status.kind, LeafKind::regular);
    status.stamp.changed = since - second;
    ChangeWatch watch = start_change_watch();
    watch.since = since;
    unchanged_since(watch, file.handle, measured);  // the watch has looked at the local file system last
    EXPECT_FALSE(unchanged_since(watch, proc.handle, status));
    close_source(proc);
#endif
    close_source(file);
    close_directory(root);
}

}  // namespace
}  // namespace kp
