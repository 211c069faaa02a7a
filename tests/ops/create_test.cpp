#include "ops/create.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#endif

#include "archive_builder.h"
#include "fs/new_files.h"
#include "fs/testing.h"
#include "ops/create_file.h"
#include "ops/create_tree.h"
#include "report/create_output.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::run_tool;
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

// A name as the update file holds it, UTF-8, as a path on every system.
fs::path utf8_path(const std::string& directory, const std::string& name) {
    return fs::path(directory) / fs::path(std::u8string(name.begin(), name.end()));
}

test::ToolOptions in(const std::string& directory) {
    test::ToolOptions options;
    options.cwd = directory;
    return options;
}

void make_fifo(const TempDir& dir) {
#ifndef _WIN32
    ::mkfifo(dir.file("p").c_str(), 0600);
#else
    (void)dir;
#endif
}

std::string without_file_name(const std::string& json) {
    const std::size_t end = json.find('\n', json.find("\"file\""));
    return json.substr(end);
}

// Where the system stamps each change of a file by its own clock, the file at `path`,
// once its last change lies before the clock's now; whether one look after its read then
// stands for two.
bool settles(const std::string& path) {
    const FileHandle directory = open_target_directory(fs::path(path).parent_path());
    SourceFile file;
    file.handle = open_measured(directory, fs::path(path).filename().string().c_str());
    const LeafStatus status = measure_open(file.handle);
    bool settled = false;
    test::wait_until([&] {
        ChangeWatch watch = start_change_watch();
        settled = unchanged_since(watch, file.handle, status);
        return settled || !watch.usable || !watch.local;
    });
    close_source(file);
    close_directory(directory);
    return settled;
}

// Every file under `root`, settled as above: a tree a pass may read each file of first.
void settle_tree(const std::string& root) {
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (item.is_regular_file()) settles(item.path().string());
    }
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

// A tree gives the same bytes however it was made and named: entries in byte order of
// their whole names, each once; extracted, it is the tree again.
TEST(Create, MakesOneFileOfATreeWhateverItsOrder) {
    const std::vector<std::string> names = {"B.txt", "a-b", "a.c", "a/x", "a/y/z.bin", "space name", "\xc3\xbc.bin"};
    TempDir dir;
    for (const char* tree : {"t1", "t2"}) {
        std::vector<std::string> order = names;
        if (std::string(tree) == "t2") std::reverse(order.begin(), order.end());
        for (const std::string& name : order) {
            const fs::path path = utf8_path(dir.file(tree), name);
            fs::create_directories(path.parent_path());
            std::ofstream(path, std::ios::binary) << name << std::string(name.size() * 100, '.');
        }
    }
    const test::ToolRun first = run_tool({"--create", "-v", dir.file("t1.update"), "-C", dir.file("t1"), "."});
    std::string listed;
    for (const std::string& name : names) listed += name + "\n";
    EXPECT_EQ(first.out, listed);
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(first.status, 0);
    const std::string made = read_file(dir.file("t1.update"));
    // Named in another order, overlapping, from another directory: the same bytes.
    EXPECT_EQ(run_tool({"-c", "t2.update", "a/y", "space name", "a", ".", "a/x", "B.txt", "a-b", "a.c", "\xc3\xbc.bin"},
                       in(dir.file("t2")))
                  .status,
              0);
    EXPECT_TRUE(read_file(dir.file("t2/t2.update")) == made);
    // NEW in the tree is left out of it, named once it is there.
    EXPECT_EQ(run_tool({"-c", "t2.update", "."}, in(dir.file("t2"))).err,
              "kpupdate: warning: t2.update is the file being written; not added\n");
    EXPECT_TRUE(read_file(dir.file("t2/t2.update")) == made);

    fs::create_directory(dir.file("out"));
    ASSERT_EQ(run_tool({"-qa", "--trim", "-C", dir.file("out"), dir.file("t1.update")}).status, 0);
    EXPECT_EQ(test::tree(dir.file("out")), test::tree(dir.file("t1")));
    for (const std::string& name : names) {
        std::ifstream extracted(utf8_path(dir.file("out"), name), std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(extracted), {}),
                  name + std::string(name.size() * 100, '.'));
    }

    const test::ToolRun excluded =
        run_tool({"-c", "-v", dir.file("x.update"), "-C", dir.file("t1"), "--exclude=a/y", "--exclude", "*.txt", "."});
    EXPECT_EQ(excluded.out, "a-b\na.c\na/x\nspace name\n\xc3\xbc.bin\n");
    const test::ToolRun named_below =
        run_tool({"-c", "-v", dir.file("x.update"), "-C", dir.file("t1"), "--exclude=a/y", "a/y/z.bin", "a.c", "a/y"});
    EXPECT_EQ(named_below.out, "a.c\n");  // a PATH under an excluded directory goes with it
    const test::ToolRun versioned =
        run_tool({"-c", dir.file("v.update"), "-C", dir.file("t1"), "--version-text=fw 2.0 (rc1)", "a.c"});
    EXPECT_EQ(versioned.status, 0);
    EXPECT_NE(run_tool({dir.file("v.update")}).out.find("fw 2.0 (rc1)"), std::string::npos);
}

// A manifest a person writes names the entries and what they carry; the rest is the
// layout's, and a file of another size than the manifest's keeps its signatures, warned.
TEST(Create, TakesWhatAPersonWritesDown) {
    TempDir dir;
    write_file(dir.file("a.bin"), "abcde");
    write_file(dir.file("b.bin"), std::string(512, 'b'));
    write_file(dir.file("index"), "i");
    write_file(dir.file("m.json"), R"({"version": "v9", "entries": [
        {"name": "a.bin", "index": 7, "size": 3, "signatures": ["ff", "1", "0", "00000000000000aa"]}, "b.bin",
        {"name": "index", "index": 9}]})");  // a value that is a key's name is no second key
    const test::ToolRun made = run_tool({"-c", "n.update", "--manifest=m.json"}, in(dir.path()));
    EXPECT_EQ(made.err,
              "kpupdate: warning: a.bin is 5 bytes where the manifest says 3; its signatures are kept for the "
              "changed bytes\n");
    EXPECT_EQ(made.status, 0);
    EXPECT_EQ(run_tool({"-l", dir.file("n.update")}).out,
              "    7\t       5\t00000200\ta.bin\n    1\t     512\t00000400\tb.bin\n    9\t       1\t00000600\tindex\n");
    const std::string json = run_tool({"--json", dir.file("n.update")}).out;
    EXPECT_NE(json.find("\"version\": \"v9\""), std::string::npos);
    EXPECT_NE(json.find("[\"00000000000000ff\", \"0000000000000001\", \"0000000000000000\", \"00000000000000aa\"]"),
              std::string::npos);
}

// What stops --create says why and leaves everything as it was: no NEW, an old NEW
// untouched, no temporary file, status 255.
// What the operation says of a request, made in `directory` as the current one (NEW and a
// manifest are named from there) from the files under `root` there, reasons first and
// warnings after; and whether it made the file.
struct Made {
    std::vector<std::string> said;
    bool done = false;
};

Made create_in(const std::string& directory, const std::string& root, const CreateRequest& request) {
    const fs::path before = fs::current_path();
    fs::current_path(directory);
    const FileHandle handle = open_target_directory(root);
    const std::string error = handle == no_file ? last_error_text() : std::string();
    std::vector<std::string> warnings;
    CreateFileEvents events;
    events.work.context = &warnings;
    events.warning = [](void* context, const CreateWarning& warning) {
        static_cast<std::vector<std::string>*>(context)->push_back(create_warning_text(warning));
    };
    std::vector<CreateProblem> problems;
    Made made;
    made.done = create_update_file(request, handle, root, error, events, problems);
    for (const CreateProblem& problem : problems)
        made.said.push_back(create_reason(problem, request.manifest.value_or("")));
    made.said.insert(made.said.end(), warnings.begin(), warnings.end());
    close_directory(handle);
    fs::current_path(before);
    return made;
}

// The request for NEW from the tree's PATHs.
CreateRequest from_tree(std::vector<std::string> paths, const std::string& file = "n.update") {
    CreateRequest request;
    request.file = file;
    request.paths = std::move(paths);
    return request;
}

CreateRequest from_manifest(const std::string& manifest = "m.json") {
    CreateRequest request;
    request.file = "n.update";
    request.manifest = manifest;
    return request;
}

CreateRequest kept(CreateRequest request) {
    request.keep = true;
    return request;
}

TEST(Create, RefusesWhatItCannotMakeAndWritesNothing) {
    struct Case {
        const char* what;
        std::function<void(const TempDir&)> setup;
        std::string root;  // the directory read, in the test's
        CreateRequest request;
        std::vector<std::string> said;
        bool posix_only = false;
    };
    const auto files = [](std::vector<std::pair<std::string, std::string>> list) {
        return [list](const TempDir& dir) {
            for (const auto& [name, bytes] : list) {
                fs::create_directories(fs::path(dir.file(name)).parent_path());
                write_file(dir.file(name), bytes);
            }
        };
    };
    const std::string not_regular =
        "; --create writes NEW only where there is nothing or a regular file (NEW '-' writes to standard output)";
    const Case cases[] = {
        {"an empty tree",
         [](const TempDir& dir) { fs::create_directory(dir.file("t")); },
         "t",
         from_tree({"."}),
         {"no file to add; an update file holds at least one"}},
        {"a tree that holds NEW alone",
         files({{"n.update", "old"}}),
         ".",
         from_tree({"."}),
         {"no file to add; an update file holds at least one",
          "warning: n.update is the file being written; not added"}},
        {"a missing PATH", files({{"t/a", "a"}}), "t", from_tree({"a", "b"}), {"b: No such file or directory"}},
        {"a PATH that climbs",
         files({{"t/a", "a"}}),
         "t",
         from_tree({"../t/a"}),
         {"../t/a: not under the directory read: a PATH is relative to it, without '..'"}},
        {"a name past its field",
         files({{std::string(88, 'n'), "a"}}),
         ".",
         from_tree({"."}),
         {std::string(88, 'n') + ": its name is 88 bytes; a name field holds 87 and a NUL"}},
        {"four files whose first bytes are no record",
         files({{"a", "a"}, {"b", "b"}, {"c", "c"}, {"d", "d"}}),
         ".",
         from_tree({"a", "b", "c", "d"}),
         {"a: with 4 files the data region begins at the last directory record, so the first bytes of this file "
          "would have to be the record of d, and they are not; add or remove a file, or give --filler=NAME for an "
          "empty one"}},
        {"NEW kept",
         files({{"a", "a"}, {"n.update", "old"}}),
         ".",
         kept(from_tree({"a"})),
         {"n.update: a file of that name exists, and is kept"}},
        {"NEW a directory",
         [](const TempDir& dir) { fs::create_directories(dir.file("n.update/a")); },
         ".",
         from_tree({"n.update"}),
         {"n.update: Is a directory"}},
        {"a manifest that is no JSON",
         files({{"m.json", "{\"entries\": [\n  \"a\",,]}"}}),
         ".",
         from_manifest(),
         {"m.json: line 2, column 7: syntax error while parsing value - unexpected ','; expected '[', '{', or a "
          "literal"}},
        {"a manifest's wrong field",
         files({{"a", "a"}, {"m.json", R"({"entries": [{"name": "a", "index": -1}]})"}}),
         ".",
         from_manifest(),
         {"m.json: entries[0].index should be a whole number from 0 to 4294967295"}},
        {"a manifest's missing file",
         files({{"m.json", R"({"entries": ["x/y"]})"}}),
         ".",
         from_manifest(),
         {"x: No such file or directory"}},
        {"an empty name", files({{"m.json", R"({"entries": [""]})"}}), ".", from_manifest(), {"'': its name is empty"}},
        {"a name with an empty part",
         files({{"a/b", "b"}, {"m.json", R"({"entries": ["a//b"]})"}}),
         ".",
         from_manifest(),
         {"a//b: its name has an empty part ('//')"}},
        {"a key --json never prints, in the document",
         files({{"a", "a"}, {"m.json", "{\n  \"verison\": \"P7 x\",\n  \"entries\": [\"a\"]}"}}),
         ".",
         from_manifest(),
         {"m.json:2:3: unknown key 'verison' (did you mean 'version'?)"}},
        {"a key --json never prints, in an entry",
         files({{"a", "a"}, {"m.json", "{\"entries\": [\"a\",\n  {\"name\": \"a\", \"idx\": 7}]}"}}),
         ".",
         from_manifest(),
         {"m.json:2:17: unknown key 'idx' (did you mean 'index'?)"}},
        {"a key like none",
         files({{"a", "a"}, {"m.json", R"({"entries": ["a"], "frobnicate": 1})"}}),
         ".",
         from_manifest(),
         {"m.json:1:20: unknown key 'frobnicate'"}},
        {"a name's tail past its field",
         files({{"a", "a"},
                {"m.json", R"({"entries": [{"name": "a", "name_tail_hex": ")" + std::string(174, '1') + R"("}]})"}}),
         ".",
         from_manifest(),
         {"a: 87 bytes to follow its NUL, where the field has room for 86"}},
        {"two names for one file",
         files({{"a", "a"}, {"m.json", R"({"entries": ["./a", "a"]})"}}),
         ".",
         from_manifest(),
         {"a: entry 0 writes the same file; an update file holds each file once"}},
        {"a manifest's size whose chunk would wrap",
         files({{"empty.bin", ""}, {"m.json", R"({"entries": [{"name": "empty.bin", "size": 4294967000}]})"}}),
         ".",
         from_manifest(),
         {"empty.bin: the manifest gives it 4294967000 bytes; an update file holds files of at most 4294966784 "
          "bytes, whose 512-byte chunks its 32 bits can count"}},
        {"a key given twice",
         files({{"a", "a"}, {"m.json", "{\"entries\": [\n  {\"name\": \"a\", \"index\": 1,\n   \"index\": 2}]}"}}),
         ".",
         from_manifest(),
         {"m.json:3:4: duplicate key 'index' (first at 2:17)"}},
        {"a number no field holds",
         files({{"a", "a"}, {"m.json", "{\"entries\": [\n  {\"name\": \"a\", \"index\": 1e400}]}"}}),
         ".",
         from_manifest(),
         {"m.json: line 2, column 26: a number too large for any field: '1e400'"}},
        {"five thousand digits",
         files({{"a", "a"}, {"m.json", R"({"entries": [{"name": "a", "index": )" + std::string(5000, '7') + "}]}"}}),
         ".",
         from_manifest(),
         {"m.json: line 1, column 37: a number too large for any field: '" + std::string(40, '7') + "...'"}},
        {"nested 60000 deep, refused before it is parsed",
         files({{"a", "a"}, {"m.json", R"({"entries": [)" + std::string(60000, '[') + std::string(60000, ']') + "]}"}}),
         ".",
         from_manifest(),
         {"m.json: line 1, column 76: nested more than 64 levels deep; what --json prints is 3 levels deep"}},
        {"nested 64 deep, which is read",
         files({{"a", "a"},
                {"m.json", R"({"entries": ["a"], "x": )" + std::string(63, '[') + std::string(63, ']') + "}"}}),
         ".",
         from_manifest(),
         {"m.json:1:20: unknown key 'x'"}},
        {"nested 65 deep",
         files({{"a", "a"},
                {"m.json", R"({"entries": ["a"], "x": )" + std::string(64, '[') + std::string(64, ']') + "}"}}),
         ".",
         from_manifest(),
         {"m.json: line 1, column 88: nested more than 64 levels deep; what --json prints is 3 levels deep"}},
        {"brackets inside a string, escaped quotes and all",
         files({{"a", "a"}, {"m.json", R"({"entries": ["a"], "x": "\")" + std::string(70, '[') + "\"}"}}),
         ".",
         from_manifest(),
         {"m.json:1:20: unknown key 'x'"}},
        {"an entry's unknown key, after the document's own",
         files({{"a", "a"}, {"m.json", R"({"version": "v", "entries": [{"name": "a", "idx": 7}]})"}}),
         ".",
         from_manifest(),
         {"m.json:1:44: unknown key 'idx' (did you mean 'index'?)"}},
        {"an object deeper than an entry, whose keys are not checked as one",
         files({{"a", "a"}, {"m.json", R"({"entries": [["a", {"idx": 7}]]})"}}),
         ".",
         from_manifest(),
         {"m.json: entries[0] should be a name, or an object with a name"}},
        {"a long key over many objects, kept once",
         [](const TempDir& dir) {
             std::string objects;
             for (int i = 0; i < 20000; ++i) objects += i == 0 ? "{}" : ",{}";
             write_file(dir.file("m.json"),
                        R"({"entries": ["a"], ")" + std::string(50000, 'k') + R"(": [)" + objects + "]}");
         },
         ".",
         from_manifest(),
         {"m.json:1:20: unknown key '" + std::string(40, 'k') + "...'"}},
        {"a manifest past 64 MiB",
         [](const TempDir& dir) {
             write_file(dir.file("m.json"), "");
             fs::resize_file(dir.file("m.json"), (64u << 20) + 1);
         },
         ".",
         from_manifest(),
         {"m.json: 67108865 bytes; a manifest holds at most 67108864 bytes"}},
        {"a link",
         [](const TempDir& dir) { fs::create_symlink("/etc/passwd", dir.file("l")); },
         ".",
         from_tree({"l"}),
         {"l: a symbolic link, which an update file cannot hold"},
         true},
        {"a FIFO, never opened to wait",
         make_fifo,
         ".",
         from_tree({"p"}),
         {"p: a FIFO, which an update file cannot hold"},
         true},
        {"NEW a link",
         [](const TempDir& dir) {
             write_file(dir.file("a"), "a");
             write_file(dir.file("target"), "old");
             fs::create_symlink("target", dir.file("n.update"));
         },
         ".",
         from_tree({"a"}),
         {"n.update: a symbolic link" + not_regular},
         true},
        {"NEW a dangling link",
         [](const TempDir& dir) {
             write_file(dir.file("a"), "a");
             fs::create_symlink("nowhere", dir.file("n.update"));
         },
         ".",
         from_tree({"a"}),
         {"n.update: a symbolic link" + not_regular},
         true},
        {"NEW a FIFO",
         [](const TempDir& dir) {
             write_file(dir.file("a"), "a");
             make_fifo(dir);
         },
         ".",
         from_tree({"a"}, "p"),
         {"p: a FIFO" + not_regular},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.posix_only && !test::posix_child_controls) continue;
        TempDir dir;
        c.setup(dir);
        const std::vector<std::string> before = test::tree(dir.path());
        const bool old_file = fs::is_regular_file(dir.file("n.update"));
        const std::string old = old_file ? read_file(dir.file("n.update")) : std::string();
        const Made made = create_in(dir.path(), c.root, c.request);
        EXPECT_EQ(made.said, c.said);
        EXPECT_FALSE(made.done);
        EXPECT_EQ(test::tree(dir.path()), before);
        if (old_file) {
            EXPECT_EQ(read_file(dir.file("n.update")), old);
        }
    }
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

// A chain of `depth` directories named d under `root`, holding leaf.bin at its bottom:
// made through handles, as no path that long would be taken.
void make_chain(const std::string& root, int depth) {
    int directory = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < depth; ++i) {
        ::mkdirat(directory, "d", 0755);
        const int inner = ::openat(directory, "d", O_RDONLY | O_DIRECTORY);
        ::close(directory);
        directory = inner;
    }
    ::close(::openat(directory, "leaf.bin", O_WRONLY | O_CREAT, 0644));
    ::close(directory);
}

// And its removal, from the bottom up, through handles again.
void remove_chain(const std::string& root) {
    std::vector<int> directories = {::open(root.c_str(), O_RDONLY | O_DIRECTORY)};
    for (int inner; (inner = ::openat(directories.back(), "d", O_RDONLY | O_DIRECTORY)) >= 0;) {
        directories.push_back(inner);
    }
    ::unlinkat(directories.back(), "leaf.bin", 0);
    for (std::size_t i = directories.size(); i-- > 1;) {
        ::close(directories[i]);
        ::unlinkat(directories[i - 1], "d", AT_REMOVEDIR);
    }
    ::close(directories[0]);
}

// A tree deeper than any name can reach is refused at its first directory too deep for
// one, at once and in little memory, and the comparison shows that directory as one
// extra name, never entering it.
TEST(Create, RefusesADeepTreeAtOnce) {
    TempDir dir;
    fs::create_directory(dir.file("t"));
    make_chain(dir.file("t"), 3000);
    write_file(dir.file("t/top.bin"), "top");
    test::ToolOptions options = in(dir.path());
    options.address_space_limit = test::address_sanitizer ? 0 : 256L << 20;
    std::string deepest = "d";  // 44 parts, 87 bytes: no name below it fits
    for (int i = 0; i < 43; ++i) deepest += "/d";
    const test::ToolRun refused = run_tool({"-c", "n.update", "-C", "t", "."}, options);
    EXPECT_EQ(refused.err, "kpupdate: " + deepest +
                               ": a directory 87 bytes and 44 parts deep holds something, and "
                               "no name below it fits the 87 bytes and 44 parts a name can have\n"
                               "kpupdate: n.update was not written\n");
    EXPECT_EQ(refused.status, 255);
    // What it holds excluded, it holds nothing that would be added.
    std::string below_it;
    for (int i = 0; i < 44; ++i) below_it += "*/";
    const test::ToolRun excluded = run_tool({"-c", "n.update", "-C", "t", "--exclude", below_it + "*", "."}, options);
    EXPECT_EQ(excluded.err, "");
    EXPECT_EQ(run_tool({"-l", "n.update"}, options).out, "    0\t       3\t00000200\ttop.bin\n");
    ASSERT_EQ(run_tool({"-c", "n.update", "-C", "t", "top.bin"}, options).status, 0);
    const test::ToolRun compared = run_tool({"-q", "-a", "--diff=t", "n.update"}, options);
    EXPECT_EQ(compared.out, "--- Differences from t: ---\nextra:   " + deepest +
                                "/\nDIFFERENT: 0 added, 0 changed, 1 extra, 1 the same.\n");
    remove_chain(dir.file("t"));
}

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

// While another process swaps a directory of the tree for a link to a secret directory
// beside it, gathering never follows the link: no run's update file holds the secret.
TEST(Create, HoldsAgainstARacerInTheTree) {
    TempDir dir;
    fs::create_directories(dir.file("t/d/s"));
    fs::create_directories(dir.file("secret"));
    write_file(dir.file("t/d/s/public.bin"), "public");
    write_file(dir.file("secret/public.bin"), "SECRET");
    fs::create_directory_symlink(dir.file("secret"), dir.file("t/d/link"));
    if (::renameat2(AT_FDCWD, dir.file("t/d/s").c_str(), AT_FDCWD, dir.file("t/d/link").c_str(), RENAME_EXCHANGE) !=
        0) {
        GTEST_SKIP() << "no renameat2(RENAME_EXCHANGE) here";
    }
    std::atomic<bool> racing = true;
    std::thread racer([&] {
        while (racing) {
            ::renameat2(AT_FDCWD, dir.file("t/d/s").c_str(), AT_FDCWD, dir.file("t/d/link").c_str(), RENAME_EXCHANGE);
        }
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::string leaked;
    for (int runs = 0; leaked.empty() && (runs < 10 || std::chrono::steady_clock::now() < until); ++runs) {
        fs::remove(dir.file("n.update"));
        const test::ToolRun run = run_tool({"-c", "n.update", "-C", "t", "."}, in(dir.path()));
        if (read_file(dir.file("n.update")).find("SECRET") != std::string::npos) leaked = "run " + std::to_string(runs);
        EXPECT_TRUE(run.status == 0 || run.status == 255) << run.err;
    }
    racing = false;
    racer.join();
    EXPECT_EQ(leaked, "");
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

// Appends to the file named by `context` once, as another process might while it is read.
void grow_once(void* context, u64 /*bytes*/) {
    auto* path = static_cast<std::string*>(context);
    if (path->empty()) return;
    std::ofstream(*path, std::ios::binary | std::ios::app) << "more";
    path->clear();
}

// Writes the file named by `context` over with other bytes of the same length once, as
// another process might while it is read, until the system's clock has moved on from the
// last change before: a change in the same tick would leave no trace in the file's times.
void rewrite_once(void* context, const NewEntry&) {
    auto* path = static_cast<std::string*>(context);
    if (path->empty()) return;
    const auto changed = [&path] { return fs::last_write_time(*path); };
    const auto before = changed();
    const std::string other(fs::file_size(*path), 'z');
    test::wait_until([&] {
        std::ofstream(*path, std::ios::binary | std::ios::in) << other;
        return changed() != before;
    });
    path->clear();
}

// A file that changes as it is read (grows, is cut, or is written over to its own
// length) is not written as any of them; one swapped for something else since it was
// listed is never read as a file. One changed once, after a read that a look after it
// cannot vouch for, is read again and written as it is then.
TEST(Create, RefusesAFileThatChangedAsItWasRead) {
    using Change = std::function<void(const std::string&)>;
    const Change rewrite = [](const std::string& path) {
        std::string rewriting = path;
        rewrite_once(&rewriting, NewEntry{});
    };
    struct Case {
        const char* what;
        std::size_t size;
        Change listed;  // after the listing, before the pass
        Change read;    // after each read, before the look after it
        bool once;      // `read` after the first read only
        bool grows;     // as it is read
        CreateFault fault;
    };
    const Case cases[] = {
        {"left alone", 600, nullptr, nullptr, false, false, CreateFault::changed},
        {"grown", 600, nullptr,
         [](const std::string& path) {
             std::ofstream(path, std::ios::binary | std::ios::app) << std::string(100, 'g');
         },
         false, false, CreateFault::changed},
        {"cut", 600, nullptr, [](const std::string& path) { fs::resize_file(path, fs::file_size(path) / 2); }, false,
         false, CreateFault::changed},
        {"rewritten to its length", 600, nullptr, rewrite, false, false, CreateFault::changed},
        {"rewritten to its length once, after its first read", 600, nullptr, rewrite, true, false,
         CreateFault::changed},
        {"grows as it is read", 3u << 20, nullptr, nullptr, false, true, CreateFault::changed},
        {"rewritten to its length as it is read", 3u << 20, nullptr, rewrite, false, false, CreateFault::changed},
        {"a directory since it was listed", 600,
         [](const std::string& path) {
             fs::remove(path);
             fs::create_directory(path);
         },
         nullptr, false, false, CreateFault::not_regular},
        {"a FIFO since it was listed, never waited on (on Windows, gone)", 600,
         [](const std::string& path) {
             fs::remove(path);
#ifndef _WIN32
             ::mkfifo(path.c_str(), 0600);
#endif
         },
         nullptr, false, false, test::posix_child_controls ? CreateFault::not_regular : CreateFault::missing},
    };
    struct AtRead {
        std::string path;
        Change change;
        bool once;
        std::string growing;  // as it is read
        u64 told = 0;         // bytes the progress line was told of
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_file(dir.file("a.bin"), std::string(c.size, 'a'));
        // Read first and looked at once, the file is read again where the look finds it changed.
        const bool settled = settles(dir.file("a.bin"));
        const bool left_alone = !c.listed && !c.read && !c.grows;
        const bool written = left_alone || (c.once && settled);
        DirectoryWalk walk;
        walk.root = open_target_directory(dir.path());
        ASSERT_NE(walk.root, no_file);
        std::vector<CreateProblem> problems;
        std::vector<CreateWarning> warnings;
        NewArchive archive;
        archive.entries = gather_tree(walk, {"."}, {}, problems);
        ASSERT_TRUE(problems.empty());
        if (c.listed) c.listed(dir.file("a.bin"));
        AtRead at_read{dir.file("a.bin"), c.read, c.once, c.grows ? dir.file("a.bin") : std::string()};
        PendingFile pending;
        ASSERT_TRUE(create_pending_file(pending, walk.root, "n.update"));
        CreateEvents events;
        events.progress = {[](void* context, u64 bytes) {
                               auto* at = static_cast<AtRead*>(context);
                               at->told += bytes;
                               grow_once(&at->growing, bytes);
                           },
                           &at_read};
        events.context = &at_read;
        events.read = [](void* context, const NewEntry&) {
            auto* at = static_cast<AtRead*>(context);
            if (at->change) (at->once ? std::exchange(at->change, nullptr) : at->change)(at->path);
        };
        std::size_t output_at = 0;
        const Pass pass =
            write_new_archive(archive, walk, std::nullopt, pending.handle, events, problems, warnings, output_at);
        if (written) {
            EXPECT_EQ(pass, Pass::written);
            EXPECT_TRUE(problems.empty());
            SourceFile made;
            made.handle = pending.handle;
            std::string bytes(c.size + 1, '\0');
            bytes.resize(read_up_to(made, layout_of(archive).data_start, bytes.data(), c.size));
            EXPECT_EQ(bytes, std::string(c.size, left_alone ? 'a' : 'z'));
            EXPECT_EQ(at_read.told, c.size);
        } else {
            EXPECT_EQ(pass, Pass::failed);
            ASSERT_EQ(problems.size(), 1u);
            EXPECT_EQ(problems[0].fault, c.fault);
        }
        discard_pending_file(pending);
        walk_end(walk);
        close_directory(walk.root);
    }
}

// The last check before NEW is named: what was written loads back as what was asked, or
// it is not named. Each row writes one thing wrong.
TEST(Create, ChecksWhatWasWrittenAgainstWhatWasAsked) {
    build::Archive plan;
    plan.version = "v1";
    plan.entries = {{"a", 0, 5, {1, 2, 3, 4}, "abcde"}, {"b", 1, 600, {}, ""}};
    const struct {
        const char* what;
        std::function<void(NewArchive&, std::string&)> fault;
        std::string found;  // what the check says differs
    } faults[] = {
        {"nothing", [](NewArchive&, std::string&) {}, ""},
        {"another version", [](NewArchive& asked, std::string&) { asked.version = "v2"; }, "its header"},
        {"another signature", [](NewArchive& asked, std::string&) { asked.entries[0].signature[3] = 5; },
         "the record of a"},
        {"another size", [](NewArchive& asked, std::string&) { asked.entries[1].size = 1100; }, "its header"},
        {"another count", [](NewArchive& asked, std::string&) { asked.entries.pop_back(); },
         "it does not load as an update file of 1 files"},
        {"bytes after the end", [](NewArchive&, std::string& bytes) { bytes += "x"; }, "its length"},
        {"a chunk past the end", [](NewArchive&, std::string& bytes) { bytes.resize(bytes.size() - 100); },
         "where the bytes of b lie"},
    };
    for (const auto& [what, fault, found] : faults) {
        SCOPED_TRACE(what);
        NewArchive asked;
        asked.version = plan.version;
        for (const build::Entry& entry : plan.entries) {
            NewEntry wanted;
            wanted.name = entry.name;
            wanted.index = entry.index;
            wanted.signature = entry.signature;
            wanted.size = entry.size;
            asked.entries.push_back(wanted);
        }
        std::string bytes = build::bytes(plan);
        fault(asked, bytes);
        TempDir dir;
        write_file(dir.file("w.update"), bytes);
        SourceFile written;
        ASSERT_TRUE(open_source(written, dir.file("w.update")));
        CreateProblem problem;
        EXPECT_EQ(check_written_archive(asked, written, problem), found.empty());
        EXPECT_EQ(problem.text, found);
        close_source(written);
    }
}

}  // namespace
}  // namespace kp
