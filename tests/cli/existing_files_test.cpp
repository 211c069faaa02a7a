// What an extraction by the binary does where something stands at an entry's name: each
// policy, names that lead to one file, and the modes a replaced file keeps.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "archive_builder.h"
#include "cli/portable_runs.h"
#include "fs/files_support.h"
#include "ops/names.h"

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

#ifndef _WIN32

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

#endif

}  // namespace
}  // namespace kp
