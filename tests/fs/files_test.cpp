// Files put under the target: what replaces what, and the portable ways of the file calls.
#include "fs/files.h"

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

// Each policy against a file, nothing and a directory where the entry goes, by the
// program and by the portable ways; a replaced file keeps its permission bits.
TEST(ExistingFiles, ReplaceKeepOrSkipAsAsked) {
    build::Archive plan;
    plan.entries = {entry("file.bin", 1, 10, "new file"), entry("none.bin", 2, 10, "new none"),
                    entry("dir.bin", 3, 10, "new dir")};
    const std::string archive = build::bytes(plan);
    const std::string error = "ERROR: could not extract file ";
    const struct {
        const char* option;
        int status;
        bool file_replaced;
        std::string out;
    } cases[] = {
        {nullptr, 255, true, error + "dir.bin.\n"},
        {"-k", 255, false, error + "file.bin.\n" + error + "dir.bin.\n"},
        {"--keep-old-files", 255, false, error + "file.bin.\n" + error + "dir.bin.\n"},
        {"--skip-old-files", 0, false, ""},
    };
    // By the program, the portable ways, links through /proc (a new name and a replaced
    // one), and replacing by an exchange of names on any file system.
    for (const auto force : {static_cast<void (*)(bool)>(nullptr), use_portable_file_calls, use_proc_links_only,
                             use_exchange_to_replace}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.option != nullptr ? c.option : "replace") +
                         (force == nullptr                   ? ""
                          : force == use_proc_links_only     ? ", /proc"
                          : force == use_exchange_to_replace ? ", exchange"
                                                             : ", portable"));
            TempDir dir;
            write_file(dir.file("a.update"), archive);
            fs::create_directories(dir.file("out/dir.bin"));
            write_file(dir.file("out/file.bin"), "old");
            fs::permissions(dir.file("out/file.bin"), fs::perms(0600));
            std::vector<std::string> args = {"-qa", "-C", dir.file("out"), dir.file("a.update")};
            if (c.option != nullptr) args.insert(args.begin(), c.option);
            test::ToolOptions options;
            options.cwd = dir.path();
            const test::ToolRun run = force != nullptr ? run_portable(args, force) : test::run_tool(args, options);
            EXPECT_EQ(run.status, c.status);
            EXPECT_EQ(run.out, c.out);
            EXPECT_EQ(read_file(dir.file("out/file.bin")).substr(0, 8), c.file_replaced ? "new file" : "old");
            EXPECT_EQ(read_file(dir.file("out/none.bin")).substr(0, 8), "new none");
            EXPECT_TRUE(fs::is_directory(dir.file("out/dir.bin")));
            EXPECT_EQ(test::tree(dir.path()),
                      (std::vector<std::string>{"a.update", "out", "out/dir.bin", "out/file.bin", "out/none.bin"}));
#ifndef _WIN32
            const auto mode_of = [&dir](const char* name) { return fs::status(dir.file(name)).permissions(); };
            EXPECT_EQ(mode_of("out/file.bin"), fs::perms(0600));
            const mode_t mask = ::umask(0);
            ::umask(mask);
            EXPECT_EQ(mode_of("out/none.bin"), fs::perms(0666 & ~mask));
#endif
        }
    }
}

// Names that lead to one file are written once, the latest; --test notes the others.
TEST(ExistingFiles, EquivalentNamesWriteOneFile) {
    build::Archive plan;
    plan.entries = {entry("x/y.bin", 1, 10, "one"), entry("x//y.bin", 2, 10, "two"), entry("x/./y.bin", 3, 10, "three"),
                    entry("./z.bin", 4, 10, "z")};
    // On Windows also one file whatever the case or the separator.
    const bool windows = native_name_rules() == NameRules::windows;
    if (windows) plan.entries.push_back(entry("X\\Y.BIN", 5, 10, "four"));
    const std::string winner = windows ? "4" : "2";
    std::string notes =
        windows ? ""
                : "note: the data region begins inside the directory: entry 0 starts with the last directory record.\n";
    for (std::size_t position = 0; position < (windows ? 3u : 2u); ++position) {
        notes += "note: entry " + std::to_string(position) + " (index " + std::to_string(position + 1) + ") " +
                 plan.entries[position].name + " is not written by --all: entry " + winner + " has its name too.\n";
    }
    const std::string summary =
        windows ? "OK: 5 files, no damage found; 3 notes.\n" : "OK: 4 files, no damage found; 3 notes.\n";
    TempDir dir;
    write_file(dir.file("a.update"), build::bytes(plan));
    fs::create_directory(dir.file("out"));
    test::ToolOptions options;
    options.cwd = dir.path();
    const test::ToolRun run = test::run_tool({"-qta", "-C", "out", "a.update"}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "\n--- Test of the file: ---\n" + notes + summary);
    const std::string written = windows ? "X/Y.BIN" : "x/y.bin";
    EXPECT_EQ(test::tree(dir.file("out")), (std::vector<std::string>{written.substr(0, 1), written, "z.bin"}));
    const std::string contents = windows ? "four" : "three";
    EXPECT_EQ(read_file(dir.file("out/" + written)).substr(0, contents.size()), contents);
    const nlohmann::json document =
        nlohmann::json::parse(test::run_tool({"--json", "-a", "-C", "out", "a.update"}, options).out);
    std::vector<int> extracted;
    for (const nlohmann::json& item : document.at("extracted")) extracted.push_back(item.at("position"));
    EXPECT_EQ(extracted, (windows ? std::vector<int>{3, 4} : std::vector<int>{2, 3}));
}

// The ways taken where the system offers no unnamed files and no kernel copies.
TEST(PortableFileCalls, FailWithoutLeavingATemporaryFile) {
    TempDir dir;
    build::Archive plan;
    plan.entries = {entry("a.bin", 1, 300000, "a")};
    const std::string archive = build::bytes(plan);
    write_file(dir.file("a.update"), archive);
    fs::create_directory(dir.file("out"));
    write_file(dir.file("out/a.bin"), "old");

    use_portable_file_calls(true);
    std::istringstream in(archive);
    UpdateArchive loaded;
    ASSERT_EQ(load_archive(loaded, in), 1);
    SourceFile source;
    ASSERT_TRUE(open_source(source, dir.file("a.update")));
    Extraction extraction;
    ExtractTarget target;
    target.directory = dir.file("out");
    target.root = open_target_directory(target.directory);
    extraction_begin(extraction, loaded, target, source);
    // Cut short after it was measured: the copy meets the end of the file.
    write_file(dir.file("a.update"), archive.substr(0, 100000));
    EXPECT_EQ(write_entry_file(extraction, loaded.entries[0]).problem.failure, EntryFailure::write);
    PendingFile file;
    ASSERT_TRUE(create_pending_file(file, extraction.walk.root, "b.bin"));
    EXPECT_FALSE(copy_range(*extraction.source, 100000 - 10, 20, file.handle));
    discard_pending_file(file);
    extraction_end(extraction);
    close_directory(target.root);
    close_source(source);
    use_portable_file_calls(false);
    EXPECT_EQ(read_file(dir.file("out/a.bin")), "old");
    EXPECT_EQ(test::tree(dir.file("out")), std::vector<std::string>{"a.bin"});
}

// Temporary names come from the system's random source: forty of one run are all
// distinct, 64 bits each, and none follows the one before as a seeded generator's would.
TEST(PortableFileCalls, TemporaryNamesCannotBeForetold) {
    TempDir dir;
    use_portable_file_calls(true);
    const FileHandle root = open_target_directory(dir.path());
    ASSERT_NE(root, no_file);
    std::vector<std::uint64_t> suffixes;
    bool wide = false;  // some suffix needs more than 32 bits
    for (int i = 0; i < 40; ++i) {
        PendingFile file;
        ASSERT_TRUE(create_pending_file(file, root, "a.bin"));
        const std::string name = path_text(file.temporary);
        discard_pending_file(file);
        ASSERT_TRUE(name.starts_with("a.bin.kpupdate-") && name.size() == 15 + 16) << name;
        ASSERT_EQ(name.find_first_not_of("0123456789abcdef", 15), std::string::npos) << name;
        suffixes.push_back(std::stoull(name.substr(15), nullptr, 16));
        wide = wide || suffixes.back() > 0xFFFFFFFFu;
    }
    close_directory(root);
    use_portable_file_calls(false);
    EXPECT_TRUE(wide);
    EXPECT_EQ(std::set<std::uint64_t>(suffixes.begin(), suffixes.end()).size(), suffixes.size());
    constexpr std::uint64_t modulus = 2147483647;  // the Lehmer generator's: x' = 48271 x mod (2^31 - 1)
    for (std::size_t i = 1; i < suffixes.size(); ++i) {
        EXPECT_NE(suffixes[i] % modulus, suffixes[i - 1] % modulus * 48271 % modulus);
    }
    EXPECT_TRUE(test::tree(dir.path()).empty());
}

// Appended to (`>>`), standard output takes no kernel copy: the bytes go through a buffer.
TEST(PortableFileCalls, AppendToStandardOutput) {
    if (!test::posix_child_controls) GTEST_SKIP() << "needs a POSIX child";
    TempDir dir;
    build::Archive plan;
    // From a pipe, a chunk past the stream's 256 KiB buffer is moved inside the kernel
    // where it can be, and through the buffer into a file opened for appending.
    plan.entries = {entry("a.bin", 1, 300000, "first"), entry("b.bin", 2, 1000, "second")};
    const std::string archive = build::bytes(plan);
    write_file(dir.file("a.update"), archive);
    for (const bool piped : {false, true}) {
        SCOPED_TRACE(piped ? "piped" : "file");
        write_file(dir.file("out.bin"), "before\n");
        test::ToolOptions options;
        options.stdout_append = dir.file("out.bin");
        if (piped) options.stdin_bytes = archive;
        EXPECT_EQ(test::run_tool({"-O", "-a", "--padded", piped ? "-" : dir.file("a.update")}, options).status, 0);
        EXPECT_EQ(read_file(dir.file("out.bin")), "before\n" + archive.substr(512));
    }
}

}  // namespace
}  // namespace kp
