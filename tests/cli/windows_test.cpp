// What only the Windows build does: UTF-16 command lines and file names.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "archive_builder.h"
#include "cli/command_line.h"
#include "support/run_tool.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace kp {
namespace {

using test::banner;
using test::run_tool;
using test::run_tool_command_line;
using test::TempDir;

std::filesystem::path utf8_path(const std::string& directory, const char8_t* name) {
    return std::filesystem::path(directory) / std::filesystem::path(name);
}

void write_bytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string as_bytes(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

// The leg runs the program it says it does: a PE32 for the 32-bit build, a PE32+ for the
// 64-bit one, read from its optional header's magic.
TEST(WindowsBuild, IsTheWidthItsLegSays) {
    const std::string program = test::read_file(KPUPDATE_BINARY);
    ASSERT_GT(program.size(), 0x40u);
    const auto byte = [&program](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(program.at(at)));
    };
    const std::size_t pe = byte(0x3C) | byte(0x3D) << 8 | byte(0x3E) << 16 | byte(0x3F) << 24;
    ASSERT_EQ(program.substr(pe, 4), std::string("PE\0\0", 4));
    const std::uint32_t magic = byte(pe + 24) | byte(pe + 25) << 8;
    EXPECT_EQ(magic == 0x20b ? "PE32+" : magic == 0x10b ? "PE32" : "neither", std::string(KPUPDATE_EXPECTED_PE));
}

TEST(CommandLineArgs, RebuildsArgvAndPutsTheCallersBack) {
    int argc = 7;
    char* original[] = {nullptr};
    char** argv = original;
    CommandLineArgs args;
    command_line_args_create(args, &argc, &argv);
    ASSERT_GE(argc, 1);
    EXPECT_EQ(argv[argc], nullptr);
    EXPECT_NE(std::string(argv[0]).find("kpupdate_tests"), std::string::npos);
    command_line_args_release(args);
    EXPECT_EQ(argc, 7);
    EXPECT_EQ(argv, original);
}

TEST(CommandLineArgs, DropsAMalformedArgumentAndWhatFollows) {
    TempDir dir;
    write_bytes(utf8_path(dir.path(), u8"good.update"), build::bytes(build::sample()));
    test::ToolOptions options;
    options.cwd = dir.path();

    const test::ToolRun lone = run_tool_command_line(L" \"a\xDC00.update\" 1", options);
    EXPECT_EQ(lone.out, banner + "ERROR: missing filename. Specify kelvo .update-file as argument.\n");
    EXPECT_EQ(lone.status, 255);

    // A broken index argument leaves the file name: reports only, nothing extracted.
    const test::ToolRun index = run_tool_command_line(L" good.update \xD800x", options);
    EXPECT_EQ(index.status, 0);
    EXPECT_EQ(index.out, run_tool({"good.update"}, options).out);
    EXPECT_EQ(test::tree(dir.path()), std::vector<std::string>{"good.update"});
}

TEST(WindowsNames, ReachTheFileSystemAsUnicode) {
    TempDir dir;
    build::Archive archive = build::sample();
    archive.entries[0].name = as_bytes(u8"\u00fc.bin");
    archive.entries[1].name = "\xFC-ansi.bin";  // not UTF-8: read in the ANSI code page
    const std::string bytes = build::bytes(archive);
    write_bytes(utf8_path(dir.path(), u8"pr\u00fcfung.update"), bytes);
    write_bytes(utf8_path(dir.path(), u8"\u0444\u0430\u0439\u043b.update"), bytes);
    test::ToolOptions options;
    options.cwd = dir.path();

    for (const char8_t* name : {u8"pr\u00fcfung.update", u8"\u0444\u0430\u0439\u043b.update"}) {
        const test::ToolRun run = run_tool({as_bytes(name), "0"}, options);
        EXPECT_EQ(run.status, 0) << as_bytes(name);
        EXPECT_TRUE(run.out.ends_with("kernel-backup.img\n"));
    }
    EXPECT_TRUE(std::filesystem::exists(utf8_path(dir.path(), u8"\u00fc.bin")));

    const test::ToolRun missing = run_tool({as_bytes(u8"\u0444-missing.update")}, options);
    EXPECT_EQ(missing.out, banner + "ERROR: could not load file " + as_bytes(u8"\u0444-missing.update") + ".\n");

    wchar_t ansi_name[32] = {};
    MultiByteToWideChar(CP_ACP, 0, "\xFC-ansi.bin", -1, ansi_name, 32);
    EXPECT_EQ(run_tool({as_bytes(u8"pr\u00fcfung.update"), "1"}, options).status, 0);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(dir.path()) / ansi_name));
}

TEST(WindowsNames, RefusesDeviceNames) {
    for (const char* name : {"CON", "nul.txt", "sub/Com1.bin", "lpt9"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        std::filesystem::create_directory(dir.file("sub"));
        build::Archive archive;
        archive.entries = {{name, 5, 10, {1, 0, 0, 0}, ""}};
        test::write_file(dir.file("a.update"), build::bytes(archive));
        test::ToolOptions options;
        options.cwd = dir.path();
        const test::ToolRun run = run_tool({"a.update", "5"}, options);
        EXPECT_EQ(run.status, 255);
        EXPECT_TRUE(run.out.ends_with("ERROR: could not extract file " + std::string(name) + ".\n"));
        EXPECT_EQ(test::tree(dir.path()), (std::vector<std::string>{"a.update", "sub"}));
    }
}

// FILE and --diff's directory are each opened once and held so that no other process can
// rename or remove them while the run reads them; once it ends, they can be.
TEST(WindowsInputs, AreHeldForTheWholeRun) {
    TempDir dir;
    build::Archive plan;
    for (std::uint32_t i = 0; i < 3001; ++i) plan.entries.push_back({"f" + std::to_string(i), i, 10, {i, 0, 0, 0}, ""});
    test::write_file(dir.file("f.update"), build::bytes(plan));
    std::filesystem::create_directory(dir.file("tree"));
    test::ToolOptions options;
    options.cwd = dir.path();
    bool file_moved = true;
    bool tree_moved = true;
    options.before_stdout = [&] {  // the run has loaded FILE: it waits inside the listing
        file_moved = MoveFileExW(std::filesystem::path(dir.file("f.update")).c_str(),
                                 std::filesystem::path(dir.file("g.update")).c_str(), 0) != 0;
        tree_moved = MoveFileExW(std::filesystem::path(dir.file("tree")).c_str(),
                                 std::filesystem::path(dir.file("tree2")).c_str(), 0) != 0;
    };
    const test::ToolRun run = run_tool({"--diff=tree", "-n", "f0", "f.update"}, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(
        run.out.ends_with("added:   f0 (index 0, 10 bytes)\nDIFFERENT: 1 added, 0 changed, 0 extra, 0 the same.\n"));
    EXPECT_FALSE(file_moved);
    EXPECT_FALSE(tree_moved);
    EXPECT_NE(MoveFileExW(std::filesystem::path(dir.file("f.update")).c_str(),
                          std::filesystem::path(dir.file("g.update")).c_str(), 0),
              0);
}

}  // namespace
}  // namespace kp
