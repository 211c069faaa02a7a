// --create run by the binary: update files made again byte for byte, each file at its
// own size, the filler, the count's bounds, and what the program says was not written.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "support/create.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::in;
using test::read_file;
using test::run_tool;
using test::settle_tree;
using test::TempDir;
using test::write_file;

void put_u64(std::string& bytes, std::size_t at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// An update file as odd as a real one may be, in every byte the format has room for:
// signatures in the header, bytes after the NULs of the texts, in the gap before the
// data and in each chunk's padding, nested names, empty entries and whole chunks.
std::string odd_archive(unsigned seed, std::size_t count) {
    std::mt19937_64 random(seed);
    build::Archive plan;
    plan.version = "fw " + std::to_string(seed);
    for (std::size_t i = 0; i < count; ++i) {
        build::Entry entry;
        entry.name = "d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".bin";
        entry.index = static_cast<std::uint32_t>(random() % 1000);
        const std::uint32_t sizes[] = {0, 1, 200, 512, 1024, 1500, static_cast<std::uint32_t>(random() % 5000)};
        entry.size = sizes[random() % std::size(sizes)];
        for (auto& signature : entry.signature) signature = random() % 4 == 0 ? 0 : random();
        entry.data = std::string(entry.size, '\0');
        for (char& byte : entry.data) byte = static_cast<char>(random());
        plan.entries.push_back(entry);
    }
    std::string bytes = build::bytes(plan);
    for (std::size_t field = 0; field < 4; ++field) put_u64(bytes, 96 + 8 * field, random());
    bytes[70] = 'T';  // after the version text's NUL
    for (std::size_t i = 0; i < count; i += 2) bytes[128 * (i + 1) + 60] = static_cast<char>(0x80 | i);
    // Past the directory: the gap and the padding, never the last record the data may begin at.
    const std::size_t directory_end = 128 * (count + 1);
    std::size_t at = build::data_start_of(static_cast<std::uint32_t>(count));
    // Half the gap, so that the zeros after what the document holds of it count too.
    const std::size_t gap_half = at > directory_end ? (at - directory_end) / 2 : 0;
    for (std::size_t i = directory_end; i < directory_end + gap_half; ++i) bytes[i] = '\x5a';
    for (const build::Entry& entry : plan.entries) {
        for (std::size_t i = at + entry.size; i < at + build::chunk_of(entry.size); ++i) {
            if (i >= directory_end) bytes[i] = static_cast<char>(random() | 1);
        }
        at += build::chunk_of(entry.size);
    }
    return bytes;
}

std::string without_file_name(const std::string& json) {
    const std::size_t end = json.find('\n', json.find("\"file\""));
    return json.substr(end);
}

// --json and an extraction are the whole file, either way: each file at its own size
// with the document's padding, or padded with --padded, gives back every byte, to a file
// or to standard output; nothing is guessed from a file's length.
TEST(Create, RebuildsEveryUpdateFileByteForByte) {
    const std::pair<unsigned, std::size_t> archives[] = {{1, 1}, {2, 3}, {3, 4}, {4, 5}, {5, 8}, {6, 13}, {7, 16}};
    for (const auto& [seed, count] : archives) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(count) + " files");
        TempDir dir;
        const std::string original = odd_archive(seed, count);
        write_file(dir.file("a.update"), original);
        fs::create_directory(dir.file("padded"));
        fs::create_directory(dir.file("own"));
        ASSERT_EQ(run_tool({"-qa", "--padded", "-C", dir.file("padded"), dir.file("a.update")}).status, 0);
        ASSERT_EQ(run_tool({"-qa", "-C", dir.file("own"), dir.file("a.update")}).status, 0);
        settle_tree(dir.path());  // read first, where a look after the read may do
        const test::ToolRun json = run_tool({"--json", dir.file("a.update")});
        write_file(dir.file("m.json"), json.out);

        const test::ToolRun padded = run_tool(
            {"--create", "--padded", dir.file("b.update"), "-C", dir.file("padded"), "--manifest", dir.file("m.json")});
        EXPECT_EQ(padded.err, "");
        EXPECT_EQ(padded.status, 0);
        EXPECT_TRUE(read_file(dir.file("b.update")) == original);
        test::ToolOptions piped;
        piped.stdin_bytes = json.out;
        const test::ToolRun out = run_tool({"-c", "-", "-C", dir.file("own"), "--manifest=-"}, piped);
        EXPECT_EQ(out.err, "");
        EXPECT_TRUE(out.out == original);

        const test::ToolRun own =
            run_tool({"--create", dir.file("c.update"), "-C", dir.file("own"), "--manifest", dir.file("m.json")});
        EXPECT_EQ(own.err, "");
        EXPECT_EQ(own.status, 0);
        EXPECT_TRUE(read_file(dir.file("c.update")) == original);
        const test::ToolRun digests = run_tool({"--sha256", dir.file("a.update")}, in(dir.path()));
        EXPECT_EQ(run_tool({"--sha256", dir.file("c.update")}, in(dir.path())).out, digests.out);
        // A document read from a pipe says what one read from the file says.
        test::ToolOptions stream;
        stream.stdin_bytes = original;
        EXPECT_EQ(without_file_name(run_tool({"--json", "-"}, stream).out), without_file_name(json.out));
    }
}

// A file's size is its entry's, whatever its length: an edited file grown to its old
// chunk's size, or to exactly 512 bytes, is taken whole and warned of, and extraction
// and --diff see it so; a padded tree needs --padded to be read as one.
TEST(Create, TakesEachFileAtItsOwnSize) {
    TempDir dir;
    build::Archive plan;
    plan.entries = {{"bootloader.bin", 1, 3000, {1, 0, 0, 0}, std::string(3000, 'b')},
                    {"device.cfg", 2, 34, {2, 0, 0, 0}, std::string(34, 'c')},
                    {"kernel.img", 3, 700, {3, 0, 0, 0}, std::string(700, 'k')}};
    write_file(dir.file("a.update"), build::bytes(plan));
    fs::create_directory(dir.file("tree"));
    ASSERT_EQ(run_tool({"-qa", "-C", "tree", "a.update"}, in(dir.path())).status, 0);
    write_file(dir.file("m.json"), run_tool({"--json", "a.update"}, in(dir.path())).out);
    const std::string grown(3072, 'B');
    const std::string config(512, 'C');
    write_file(dir.file("tree/bootloader.bin"), grown);
    write_file(dir.file("tree/device.cfg"), config);
    const test::ToolRun made = run_tool({"-c", "b.update", "-C", "tree", "--manifest=m.json"}, in(dir.path()));
    EXPECT_EQ(made.err,
              "kpupdate: warning: bootloader.bin is 3072 bytes where the manifest says 3000; its signatures are kept "
              "for the changed bytes\nkpupdate: warning: device.cfg is 512 bytes where the manifest says 34; its "
              "signatures are kept for the changed bytes\n");
    EXPECT_EQ(made.status, 0);
    EXPECT_EQ(run_tool({"-l", "b.update"}, in(dir.path())).out,
              "    1\t    3072\t00000200\tbootloader.bin\n    2\t     512\t00000e00\tdevice.cfg\n"
              "    3\t     700\t00001000\tkernel.img\n");
    EXPECT_TRUE(run_tool({"-O", "b.update", "bootloader.bin", "device.cfg"}, in(dir.path())).out == grown + config);
    EXPECT_EQ(run_tool({"-q", "--diff=tree", "b.update"}, in(dir.path())).out,
              "--- Differences from tree: ---\nSAME: 3 files.\n");

    // A padded tree read as one with --padded; a file of its own size there is warned of.
    fs::create_directory(dir.file("padded"));
    ASSERT_EQ(run_tool({"-qa", "--padded", "-C", "padded", "a.update"}, in(dir.path())).status, 0);
    write_file(dir.file("padded/kernel.img"), std::string(700, 'k'));
    const test::ToolRun from_padded =
        run_tool({"-c", "--padded", "c.update", "-C", "padded", "--manifest=m.json"}, in(dir.path()));
    EXPECT_EQ(from_padded.err,
              "kpupdate: warning: kernel.img is 700 bytes, its own size, where a padded extraction holds its "
              "1024-byte chunk; taken as its own bytes\n");
    EXPECT_TRUE(read_file(dir.file("c.update")) == read_file(dir.file("a.update")));
    const test::ToolRun unpadded = run_tool({"-c", "d.update", "-C", "padded", "--manifest=m.json"}, in(dir.path()));
    EXPECT_NE(unpadded.err.find("bootloader.bin is 3072 bytes where the manifest says 3000"), std::string::npos);
    EXPECT_EQ(run_tool({"-c", "--padded", "e.update", "-C", "padded", "."}, in(dir.path())).err,
              "kpupdate: '--padded' with '--create' needs '--manifest', which gives each file's own size; see "
              "'kpupdate --help'.\n");
}

// --filler adds one empty file at the end where the count would be a multiple of four,
// and only there, shown by -v; extracted, it is the tree and the empty file.
TEST(Create, AddsAFillerWhereTheCountWouldBeAMultipleOfFour) {
    for (const int count : {3, 4, 8}) {
        SCOPED_TRACE(count);
        TempDir dir;
        fs::create_directory(dir.file("t"));
        for (int i = 0; i < count; ++i) write_file(dir.file("t/f" + std::to_string(i)), std::string(100 + i, 'x'));
        const test::ToolRun made =
            run_tool({"-c", "-v", "n.update", "-C", "t", "--filler=zz.pad", "."}, in(dir.path()));
        EXPECT_EQ(made.err, "");
        const bool filled = count % 4 == 0;
        EXPECT_TRUE(made.out.ends_with(filled ? "zz.pad\n" : "f2\n")) << made.out;
        fs::create_directory(dir.file("out"));
        ASSERT_EQ(run_tool({"-qa", "-C", "out", "n.update"}, in(dir.path())).status, 0);
        std::vector<std::string> expected = test::tree(dir.file("t"));
        if (filled) expected.push_back("zz.pad");
        EXPECT_EQ(test::tree(dir.file("out")), expected);
        EXPECT_EQ(filled ? fs::file_size(dir.file("out/zz.pad")) : 0u, 0u);
        // NEW found in the tree is left out, and the filler is what the count without it needs.
        fs::copy_file(dir.file("n.update"), dir.file("t/n.update"));
        EXPECT_EQ(run_tool({"-c", "t/n.update", "-C", "t", "--filler=zz.pad", "."}, in(dir.path())).err,
                  "kpupdate: warning: n.update is the file being written; not added\n");
        EXPECT_TRUE(read_file(dir.file("t/n.update")) == read_file(dir.file("n.update")));
        fs::remove(dir.file("t/n.update"));
        if (!filled) continue;
        // Its name is held to the rules every name is.
        EXPECT_EQ(run_tool({"-c", "m.update", "-C", "t", "--filler=f0", "."}, in(dir.path())).err,
                  "kpupdate: f0: entry 0 writes the same file; an update file holds each file once\n"
                  "kpupdate: m.update was not written\n");
        EXPECT_EQ(run_tool({"-c", "m.update", "-C", "t", "--filler=../up", "."}, in(dir.path())).err,
                  "kpupdate: ../up: its name has a '..' part: it would not stay under the target\n"
                  "kpupdate: m.update was not written\n");
    }
}

// As many files as the format holds, empty ones too: four, whose data region would begin
// at the last record but holds nothing, and exactly 5000; never 5001.
TEST(Create, HoldsFromFourEmptyFilesToFiveThousand) {
    TempDir dir;
    fs::create_directory(dir.file("t"));
    for (int i = 0; i < 4; ++i) write_file(dir.file("t/e" + std::to_string(i)), "");
    EXPECT_EQ(run_tool({"-c", "four.update", "-C", "t", "."}, in(dir.path())).err, "");
    EXPECT_TRUE(run_tool({"-q", "-t", "four.update"}, in(dir.path()))
                    .out.ends_with("OK: 4 files, no damage found; 2 notes.\n"));
    for (int i = 4; i < 5000; ++i) write_file(dir.file("t/f" + std::to_string(i)), "");
    EXPECT_EQ(run_tool({"-c", "all.update", "-C", "t", "."}, in(dir.path())).err, "");
    EXPECT_EQ(run_tool({"--json", "all.update"}, in(dir.path())).out.find("\"file_count\": 5000,") != std::string::npos,
              true);
    write_file(dir.file("t/one-more"), "");
    EXPECT_EQ(
        run_tool({"-c", "more.update", "-C", "t", "."}, in(dir.path())).err,
        "kpupdate: 5001 files to add; an update file holds at most 5000\nkpupdate: more.update was not written\n");
}

// What only the program shows: its usage lines, its last word, a terminal refused, and a
// file-size limit that would stop a regression before it fills the disk.
TEST(Create, TheProgramSaysWhatWasNotWritten) {
    struct Case {
        const char* what;
        std::vector<std::string> args;  // run in the directory; NEW is n.update
        std::string err;
        bool posix_only = false;
        unsigned short terminal = 0;  // standard output a terminal this wide
        std::uintmax_t sparse = 0;    // the size of "big"
    };
    const std::string not_written = "kpupdate: n.update was not written\n";
    const Case cases[] = {
        {"a missing PATH", {"-c", "n.update", "a", "b"}, "kpupdate: b: No such file or directory\n" + not_written},
        {"an update file for a terminal",
         {"-c", "-", "a"},
         "kpupdate: refusing to write an update file to a terminal\nkpupdate: nothing was written to standard output\n",
         true,
         80},
        {"extraction's options",
         {"-c", "-a", "n.update", "a"},
         "kpupdate: '--create' and '--all' cannot go together; see 'kpupdate --help'.\n"},
        {"no PATH",
         {"-c", "n.update"},
         "kpupdate: '--create' needs a PATH to add, or '--manifest'; see 'kpupdate --help'.\n"},
        {"a manifest without --create",
         {"--manifest=m.json", "n.update"},
         "kpupdate: '--manifest' needs '--create'; see 'kpupdate --help'.\n"},
        {"a file whose chunk would wrap to nothing",
         {"-c", "n.update", "big"},
         "kpupdate: big: 4294966785 bytes; an update file holds files of at most 4294966784 bytes, whose 512-byte "
         "chunks its 32 bits can count\n" +
             not_written,
         true,
         0,
         4294966785u},
        {"the largest file, with nothing left for the directory",
         {"-c", "n.update", "big"},
         "kpupdate: the update file would be 4294967296 bytes, past the 4 GiB its 32-bit offsets reach\n" + not_written,
         true,
         0,
         4294966784u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.posix_only && !test::posix_child_controls) continue;
        TempDir dir;
        write_file(dir.file("a"), "a");
        if (c.sparse != 0) {
            write_file(dir.file("big"), "");
            fs::resize_file(dir.file("big"), c.sparse);
        }
        const std::vector<std::string> before = test::tree(dir.path());
        test::ToolOptions options = in(dir.path());
        options.terminal_columns = c.terminal;
        options.file_size_limit = 1 << 20;
        const test::ToolRun run = run_tool(c.args, options);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(test::tree(dir.path()), before);
    }
}

#ifndef _WIN32

// Under POSIX rules a backslash is a byte of a name like any other: its file is the one
// read, in the directory it lies in.
TEST(Create, TakesABackslashAsPartOfAName) {
    TempDir dir;
    write_file(dir.file("a\\b.bin"), "backslash");
    const test::ToolRun run = run_tool({"-c", "-v", "n.update", "a\\b.bin"}, in(dir.path()));
    EXPECT_EQ(run.out, "a\\b.bin\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run_tool({"-q", "-O", "n.update", "0"}, in(dir.path())).out, "backslash");
}

#endif

}  // namespace
}  // namespace kp
