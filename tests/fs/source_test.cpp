// What a source read from a file counts as: only the file measured, as a change watch
// sees it.
#include "fs/source.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <random>

#include "archive/stream_pieces.h"
#include "fs/files.h"
#include "fs/files_support.h"
#include "fs/stream.h"
#include "fs/testing.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::TempDir;
using test::write_file;

// Ways a source is read or copied from, each of which adds the offset on its own.
enum class Way : unsigned char { read_up_to, read_once, copy, copy_portable, copy_file, copy_sendfile };

// What `way` gives from the source for the `size` bytes at `at` and the `size` after
// them (a view kept from the first range serves the second): the bytes, and for each
// range whether it succeeded with no error left standing.
std::string taken(SourceFile& source, Way way, u64 at, u64 size, const std::string& out_path) {
    std::string result;
    for (const u64 from : {at, at + size}) {
        std::string bytes(static_cast<std::size_t>(size), '\0');
        errno = 0;
        if (way == Way::read_up_to || way == Way::read_once) {
            const std::size_t got = way == Way::read_up_to ? read_up_to(source, from, bytes.data(), bytes.size())
                                                           : read_once(source, from, bytes.data(), bytes.size());
            bytes.resize(got);
            result += bytes + (errno == 0 ? " clean;" : " failed;");
            continue;
        }
        const int out = test::create_descriptor(out_path);
        EXPECT_GE(out, 0);
        source.kernel_copy_refused = way == Way::copy_sendfile;
        if (way == Way::copy_portable) use_portable_file_calls(true);
        const bool done = way == Way::copy || way == Way::copy_portable
                              ? copy_range(source, from, size, descriptor_handle(out))
                              : copy_file_bytes(source, from, size, descriptor_handle(out));
        const bool clean = errno == 0;
        use_portable_file_calls(false);
        test::close_descriptor(out);
        result += read_file(out_path) + (done ? " done;" : clean ? " ended;" : " failed;");
    }
    return result;
}

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

// A file begun at an offset reads and copies, by every way there is, as a copy of its
// bytes from there would: at offsets on a page, on a chunk and on neither, up to where
// it was ended and never past.
TEST(OffsetSources, ReadAsTheBytesFromThereWould) {
    TempDir dir;
    const std::string blob = test::random_bytes(std::size_t{5} << 20, 51);
    write_file(dir.file("blob"), blob);
    constexpr u64 mib = u64{1} << 20;
    const struct {
        const char* what;
        u64 offset;
        std::optional<u64> end;  // where end_source_at ends it
        Way way;
        u64 at;
        u64 size;
    } cases[] = {
        {"the header, on a chunk", 0x1f400, {}, Way::read_up_to, 0, 128},
        {"on no chunk", 777, {}, Way::read_up_to, 1000, 5000},
        {"across the end it was given", 777, 4096, Way::read_up_to, 4000, 200},
        {"past the file's end", 777, {}, Way::read_up_to, blob.size() - 777 - 100, 300},
        {"one read", 777, {}, Way::read_once, 300, 100000},
        {"one read across the end it was given", 777, 1000, Way::read_once, 900, 200},
        {"an offset past the file's end", blob.size() + 10, {}, Way::read_up_to, 0, 128},
        {"small ranges, from views, on a chunk", 0x1f400, {}, Way::copy, 512, 3000},
        {"small ranges, from views, on no chunk", 777, {}, Way::copy, 4000, 60000},
        {"a small range from a view that ends where it was ended", 0x1f400, 200000, Way::copy, 70000, 3000},
        {"large ranges on no page, through views", 777, {}, Way::copy, 0, 2 * mib},
        {"large ranges on a page, inside the kernel", 4 * 4096, {}, Way::copy, 0, 2 * mib},
        {"medium ranges, inside the kernel", 777, {}, Way::copy, 0, 300000},
        {"medium ranges, by sendfile", 777, {}, Way::copy_sendfile, 10, 300000},
        {"medium ranges, through a buffer", 777, {}, Way::copy_portable, 10, 300000},
        {"a file's bytes, inside the kernel", 0x1f400, {}, Way::copy_file, 100, 200000},
        {"a copy across the end it was given", 777, 400000, Way::copy, 100000, 200000},
        {"a file's bytes across the end it was given", 777, 400000, Way::copy_file, 100000, 200000},
        {"a buffer's copy across the end it was given", 777, 400000, Way::copy_portable, 100000, 200000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string carved = blob.substr(std::min<std::size_t>(c.offset, blob.size()));
        if (c.end) carved.resize(std::min<std::size_t>(carved.size(), *c.end));
        write_file(dir.file("carved"), carved);
        SourceFile in_place;
        SourceFile copy;
        ASSERT_TRUE(open_source(in_place, dir.file("blob")));
        ASSERT_TRUE(open_source(copy, dir.file("carved")));
        ASSERT_TRUE(start_source_at(in_place, c.offset));
        if (c.end) end_source_at(in_place, *c.end);
        EXPECT_EQ(in_place.length, copy.length);
        EXPECT_EQ(taken(in_place, c.way, c.at, c.size, dir.file("out")),
                  taken(copy, c.way, c.at, c.size, dir.file("out")));
        close_source(in_place);
        close_source(copy);
    }
}

// A stream begun at an offset drops the bytes before it, whichever read they came in,
// and once ended where its update file ends it gives nothing after, and has that length.
TEST(OffsetSources, StreamsDropWhatComesBeforeAndEndWhereTheyAreEnded) {
    std::string blob(300000, '\0');
    for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>(i * 7 + i / 251);
    const struct {
        const char* what;
        u64 offset;
        std::size_t most;        // the most one read of the stream gives
        std::optional<u64> end;  // where end_source_at ends it, once `read` bytes are read
        u64 read;
        u64 length;  // what it then has, read to its end
    } cases[] = {
        {"inside the first read", 100, 1000, {}, 0, blob.size() - 100},
        {"where a read ends", 2000, 1000, {}, 0, blob.size() - 2000},
        {"after many reads", 0x1f400, 4096, {}, 0, blob.size() - 0x1f400},
        {"past its end", blob.size() + 1, 4096, {}, 0, 0},
        {"ended before it is read there", 777, 4096, 5000, 100, 5000},
        {"ended where it has read past", 777, 1 << 20, 5000, 100, 5000},
        {"ended past its own end", 777, 4096, blob.size(), 100, blob.size() - 777},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::Pieces pieces{blob, c.most};
        SourceFile source = test::stream_of(pieces);
        ASSERT_TRUE(start_source_at(source, c.offset));
        const std::string from = blob.substr(std::min<std::size_t>(c.offset, blob.size()));
        std::string got(static_cast<std::size_t>(c.read), '\0');
        ASSERT_EQ(read_up_to(source, 0, got.data(), got.size()), std::min<std::size_t>(got.size(), from.size()));
        EXPECT_EQ(got, from.substr(0, got.size()));
        if (c.end) {
            end_source_at(source, *c.end);
            EXPECT_FALSE(source.ended) << "it ends at its next read, as a stream that ends there does";
        }
        std::string rest(from.size(), '\0');
        const std::size_t more = read_up_to(source, c.read, rest.data(), rest.size());
        EXPECT_EQ(rest.substr(0, more), from.substr(std::min<std::size_t>(c.read, from.size()), more));
        EXPECT_TRUE(finish_source(source));
        EXPECT_TRUE(source.ended);
        EXPECT_EQ(source.length, c.length);
        EXPECT_EQ(c.read + more, c.length) << "every byte before its end, none after";
    }
}

}  // namespace
}  // namespace kp
