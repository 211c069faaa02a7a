// --update and --delete run by the binary: each change against a reading of the bytes
// made here, every byte the change does not name kept, and refusals that leave FILE be.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "support/create.h"
#include "support/run_tool.h"

#ifndef _WIN32  // FIFOs, links and inodes are POSIX's
namespace kp {
namespace {

namespace fs = std::filesystem;
using test::in;
using test::read_file;
using test::run_tool;
using test::TempDir;
using test::write_file;

std::uint32_t u32_at(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void put_u32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

std::size_t chunk_of(std::size_t size) {
    return (size + 511) / 512 * 512;
}

// An update file read here on its own: records and chunks as bytes, and what lies around them.
struct Model {
    std::string header;
    struct Piece {
        std::string record;
        std::string chunk;
        std::string name() const { return record.substr(0, record.find('\0')); }
    };
    std::vector<Piece> pieces;
    std::string gap;       // between the directory and the data
    std::string trailing;  // after the declared end

    explicit Model(const std::string& bytes) : header(bytes.substr(0, 128)) {
        const std::size_t count = u32_at(bytes, 88);
        const std::size_t directory_end = 128 * (count + 1);
        std::size_t at = (count + 3) / 4 * 512;
        if (at > directory_end) gap = bytes.substr(directory_end, at - directory_end);
        for (std::size_t i = 0; i < count; ++i) {
            const std::string record = bytes.substr(128 * (i + 1), 128);
            const std::size_t chunk = chunk_of(u32_at(record, 92));
            pieces.push_back({record, bytes.substr(at, chunk)});
            at += chunk;
        }
        trailing = bytes.substr(std::max<std::size_t>(u32_at(header, 92) * std::size_t{512}, directory_end));
    }

    Piece* last_named(const std::string& name) {
        for (auto piece = pieces.rbegin(); piece != pieces.rend(); ++piece)
            if (piece->name() == name) return &*piece;
        return nullptr;
    }

    void replace(const std::string& name, const std::string& data, bool zero = false) {
        Piece& piece = *last_named(name);
        put_u32(piece.record, 92, static_cast<std::uint32_t>(data.size()));
        if (zero) piece.record.replace(96, 32, 32, '\0');
        piece.chunk = data + std::string(chunk_of(data.size()) - data.size(), '\0');
    }

    void append(const std::string& name, const std::string& data) {
        std::uint32_t highest = 0;
        for (const Piece& piece : pieces) highest = std::max(highest, u32_at(piece.record, 88));
        std::string record = name + std::string(128 - name.size(), '\0');
        put_u32(record, 88, highest + 1);
        put_u32(record, 92, static_cast<std::uint32_t>(data.size()));
        pieces.push_back({record, data + std::string(chunk_of(data.size()) - data.size(), '\0')});
    }

    void remove(const std::string& name) {
        std::erase_if(pieces, [&name](const Piece& piece) { return piece.name() == name; });
    }

    void version(const std::string& text) { header.replace(0, 88, text + std::string(88 - text.size(), '\0')); }

    std::string bytes() const {
        const std::size_t count = pieces.size();
        const std::size_t data_start = (count + 3) / 4 * 512;
        std::string out = header;
        std::size_t chunks = 0;
        for (const Piece& piece : pieces) chunks += piece.chunk.size();
        put_u32(out, 88, static_cast<std::uint32_t>(count));
        put_u32(out, 92, static_cast<std::uint32_t>((data_start + chunks) / 512));
        for (const Piece& piece : pieces) out += piece.record;
        if (out.size() < data_start) {
            const std::string kept = gap.substr(0, data_start - out.size());
            out += kept + std::string(data_start - out.size() - kept.size(), '\0');
        }
        out.resize(data_start);  // with a multiple of 4 the last record is the first chunk's head
        for (const Piece& piece : pieces) out += piece.chunk;
        return out + trailing;
    }
};

// Six entries, a name twice, and nonzero bytes wherever the format has room: header
// signatures, the tails of the texts, the gap, the padding, and bytes after the end.
std::string odd_input() {
    build::Archive plan;
    plan.version = "fw 1.0";
    const std::pair<const char*, std::uint32_t> entries[] = {{"a.bin", 1000},  {"b.bin", 0},     {"c/d.bin", 3000},
                                                             {"dup.bin", 100}, {"dup.bin", 200}, {"e.txt", 700}};
    std::uint32_t index = 10;
    for (const auto& [name, size] : entries) {
        build::Entry entry{name, index, size, {index * 3 + 1, 2, 0, index}, std::string(size, 'A' + index % 26)};
        index += 7;
        plan.entries.push_back(entry);
    }
    std::string bytes = build::bytes(plan);
    for (std::size_t i = 96; i < 128; ++i) bytes[i] = static_cast<char>(i);  // header signatures
    bytes[80] = 'V';                                                         // after the version's NUL
    bytes[128 * 2 + 70] = 'N';                                               // after a name's NUL
    for (std::size_t i = 128 * 7; i < 1024; ++i) bytes[i] = '\x5a';          // the gap
    std::size_t at = 1024;
    for (const auto& [name, size] : entries) {
        for (std::size_t i = at + size; i < at + chunk_of(size); ++i) bytes[i] = '\x77';
        at += chunk_of(size);
    }
    return bytes + "TRAILER";
}

// Rows that expect no words leave `said` out.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
struct Change {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // written under the directory first
    std::vector<std::string> args;                           // after the program; FILE is f.update
    std::function<void(Model&)> expect;                      // null: refused, FILE unchanged
    std::string said;                                        // a part of standard error
};

std::string text(std::size_t size, char byte) {
    return std::string(size, byte);
}

TEST(Update, ChangesKeepEveryByteTheyDoNotName) {
    const Change changes[] = {
        {"bigger",
         {{"a.bin", text(5000, 'b')}},
         {"-u", "f.update", "a.bin"},
         [](Model& m) { m.replace("a.bin", text(5000, 'b')); },
         "its signatures are kept for the changed bytes"},
        {"smaller", {{"a.bin", "tiny"}}, {"-u", "f.update", "a.bin"}, [](Model& m) { m.replace("a.bin", "tiny"); }},
        {"its own start, one byte shorter",
         {{"a.bin", text(999, 'K')}},
         {"-u", "f.update", "a.bin"},
         [](Model& m) { m.replace("a.bin", text(999, 'K')); }},
        {"same size",
         {{"a.bin", text(1000, 'z')}},
         {"-u", "f.update", "a.bin"},
         [](Model& m) { m.replace("a.bin", text(1000, 'z')); }},
        {"empty to bytes, zeroed",
         {{"b.bin", "now"}},
         {"-u", "--signatures=zero", "f.update", "b.bin"},
         [](Model& m) { m.replace("b.bin", "now", true); }},
        {"the last of a name",
         {{"dup.bin", "second"}},
         {"-u", "f.update", "dup.bin"},
         [](Model& m) { m.replace("dup.bin", "second"); }},
        {"a directory",
         {{"c/d.bin", "dd"}, {"c/new.bin", "nn"}},
         {"-u", "f.update", "c"},
         [](Model& m) {
             m.replace("c/d.bin", "dd");
             m.append("c/new.bin", "nn");
         }},
        {"append",
         {{"n.bin", text(513, 'n')}},
         {"-u", "f.update", "n.bin"},
         [](Model& m) { m.append("n.bin", text(513, 'n')); }},
        {"append to 8, refused",
         {{"n.bin", "1"}, {"o.bin", "2"}},
         {"-u", "f.update", "n.bin", "o.bin"},
         nullptr,
         "with 8 files the data region begins at the last directory record"},
        {"append to 8, filler",
         {{"n.bin", "1"}, {"o.bin", "2"}},
         {"-u", "--filler=pad", "f.update", "n.bin", "o.bin"},
         [](Model& m) {
             m.append("n.bin", "1");
             m.append("o.bin", "2");
             m.append("pad", "");
         }},
        {"version", {}, {"-u", "--version-text=fw 2.0", "f.update"}, nullptr, "needs a PATH"},
        {"version and a file",
         {{"e.txt", "notes"}},
         {"-u", "--version-text=fw 2.0", "f.update", "e.txt"},
         [](Model& m) {
             m.version("fw 2.0");
             m.replace("e.txt", "notes");
         }},
        {"delete first", {}, {"--delete", "f.update", "a.bin"}, [](Model& m) { m.remove("a.bin"); }},
        {"delete middle", {}, {"--delete", "f.update", "c/d.bin"}, [](Model& m) { m.remove("c/d.bin"); }},
        {"delete last", {}, {"--delete", "f.update", "e.txt"}, [](Model& m) { m.remove("e.txt"); }},
        {"delete a name twice over",
         {},
         {"--delete", "f.update", "dup.bin", "b.bin", "a.bin"},
         [](Model& m) {
             m.remove("dup.bin");
             m.remove("b.bin");
             m.remove("a.bin");
         }},
        {"delete to 4, refused",
         {},
         {"--delete", "f.update", "dup.bin"},
         nullptr,
         "with 4 files the data region begins"},
        {"delete to 4, filler",
         {},
         {"--delete", "--filler=pad", "f.update", "dup.bin"},
         [](Model& m) {
             m.remove("dup.bin");
             m.append("pad", "");
         }},
        {"delete a missing name",
         {},
         {"--delete", "f.update", "a.bin", "zz"},
         nullptr,
         "zz: f.update holds no entry of that name"},
        {"filler of a taken name",
         {},
         {"--delete", "--filler=e.txt", "f.update", "dup.bin"},
         nullptr,
         "e.txt: entry 3 writes the same file"},
        {"a missing PATH", {}, {"-u", "f.update", "nope"}, nullptr, "nope: No such file or directory"},
        {"with --list", {}, {"-u", "-l", "f.update", "a.bin"}, nullptr, "'--update' and '--list' cannot go together"},
        {"delete with -C",
         {},
         {"--delete", "-C", ".", "f.update", "a.bin"},
         nullptr,
         "'--delete' and '--directory' cannot go together"},
        {"keep without out", {}, {"-u", "-k", "f.update", "a.bin"}, nullptr, "needs '--out'"},
        {"out alone", {}, {"--out=x", "f.update"}, nullptr, "'--out' needs '--update' or '--delete'"},
        {"delete from a list",
         {},
         {"--delete", "-T", "names.txt", "f.update", "a.bin"},
         nullptr,
         "'--delete' takes the NAMEs of the entries to remove, not '--files-from'"},
    };
    const std::string input = odd_input();
    for (const Change& change : changes) {
        SCOPED_TRACE(change.what);
        TempDir dir;
        write_file(dir.file("f.update"), input);
        for (const auto& [name, bytes] : change.files) {
            fs::create_directories(fs::path(dir.file(name)).parent_path());
            write_file(dir.file(name), bytes);
        }
        const auto before = test::tree(dir.path());
        std::vector<std::string> args = change.args;
        const test::ToolRun run = run_tool(args, in(dir.path()));
        EXPECT_NE(run.err.find(change.said), std::string::npos) << run.err;
        if (change.expect) {
            Model model(input);
            change.expect(model);
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_TRUE(read_file(dir.file("f.update")) == model.bytes());
            EXPECT_EQ(run_tool({"-qt", dir.file("f.update")}).status, 0);
        } else {
            EXPECT_EQ(run.status, 255);
            EXPECT_TRUE(read_file(dir.file("f.update")) == input);
        }
        EXPECT_EQ(test::tree(dir.path()), before);  // no temporary left, nothing else made
    }
}

// The same bytes change nothing: FILE is not written, its inode and times stay.
TEST(Update, SameBytesWriteNothing) {
    TempDir dir;
    const std::string input = odd_input();
    write_file(dir.file("f.update"), input);
    write_file(dir.file("a.bin"), std::string(1000, 'A' + 10 % 26));
    struct stat before {};
    ASSERT_EQ(::stat(dir.file("f.update").c_str(), &before), 0);
    const test::ToolRun run = run_tool({"-uv", "f.update", "a.bin"}, in(dir.path()));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "f.update: nothing to change\n");
    struct stat after {};
    ASSERT_EQ(::stat(dir.file("f.update").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_TRUE(read_file(dir.file("f.update")) == input);
}

// A FILE cut short has chunks that cannot be kept whole: nothing is changed in it.
TEST(Update, RefusesAFileCutShort) {
    TempDir dir;
    const std::string cut = odd_input().substr(0, 1024 + 2000);  // inside c/d.bin's chunk
    write_file(dir.file("f.update"), cut);
    write_file(dir.file("a.bin"), "new bytes");
    const test::ToolRun run = run_tool({"-u", "f.update", "a.bin"}, in(dir.path()));
    EXPECT_EQ(run.status, 255);
    EXPECT_NE(run.err.find("which is cut short; nothing is changed in it"), std::string::npos) << run.err;
    EXPECT_TRUE(read_file(dir.file("f.update")) == cut);
}

// --out writes the result as NEW and leaves FILE; in place, FILE's mode stays.
TEST(Update, OutLeavesFileAndModeStays) {
    TempDir dir;
    const std::string input = odd_input();
    write_file(dir.file("f.update"), input);
    write_file(dir.file("a.bin"), "x");
    ::chmod(dir.file("f.update").c_str(), 0640);
    EXPECT_EQ(run_tool({"-u", "--out", "n.update", "f.update", "a.bin"}, in(dir.path())).status, 0);
    Model model(input);
    model.replace("a.bin", "x");
    EXPECT_TRUE(read_file(dir.file("n.update")) == model.bytes());
    EXPECT_TRUE(read_file(dir.file("f.update")) == input);
    // Nothing to change still writes NEW, a copy: asked for, it is there.
    EXPECT_EQ(run_tool({"--delete", "--out", "same.update", "f.update", "--", "zz"}, in(dir.path())).status, 255);
    write_file(dir.file("a.bin"), std::string(1000, 'A' + 10 % 26));
    EXPECT_EQ(run_tool({"-u", "--out", "same.update", "f.update", "a.bin"}, in(dir.path())).status, 0);
    EXPECT_TRUE(read_file(dir.file("same.update")) == input);
    const test::ToolRun kept = run_tool({"-u", "-k", "--out", "n.update", "f.update", "a.bin"}, in(dir.path()));
    EXPECT_EQ(kept.status, 255);
    EXPECT_NE(kept.err.find("n.update: a file of that name exists, and is kept"), std::string::npos) << kept.err;
    write_file(dir.file("a.bin"), "y");
    EXPECT_EQ(run_tool({"-u", "f.update", "a.bin"}, in(dir.path())).status, 0);
    struct stat changed {};
    ASSERT_EQ(::stat(dir.file("f.update").c_str(), &changed), 0);
    EXPECT_EQ(changed.st_mode & 07777, 0640u);
}

// FILE that is no regular file is refused with what it is, and left as it is.
TEST(Update, RefusesWhatIsNoRegularFile) {
    TempDir dir;
    write_file(dir.file("f.update"), odd_input());
    fs::create_symlink("f.update", dir.file("link.update"));
    ASSERT_EQ(::mkfifo(dir.file("pipe.update").c_str(), 0600), 0);
    const std::pair<const char*, const char*> files[] = {{"link.update", "a symbolic link"}, {"pipe.update", "a FIFO"}};
    for (const auto& [file, kind] : files) {
        const test::ToolRun run = run_tool({"--delete", file, "a.bin"}, in(dir.path()));
        EXPECT_EQ(run.status, 255);
        EXPECT_NE(run.err.find(std::string(file) + ": " + kind + "; --update and --delete change a regular file"),
                  std::string::npos)
            << run.err;
    }
    EXPECT_TRUE(fs::is_symlink(dir.file("link.update")));
    EXPECT_TRUE(read_file(dir.file("f.update")) == odd_input());
}

}  // namespace
}  // namespace kp
#endif
