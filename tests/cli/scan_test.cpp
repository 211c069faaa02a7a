// --scan and --carve as a user runs them: the table, the document, the files carved, from
// a file and from a pipe.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "archive_builder.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::read_file;
using test::run_tool;
using test::TempDir;
using test::write_file;

std::string filler(std::size_t size, char seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + static_cast<std::size_t>(seed)) % 251);
    return bytes;
}

build::Archive archive_of(int count, const std::string& version, const std::string& data = "x") {
    build::Archive archive;
    archive.version = version;
    for (int i = 0; i < count; ++i) {
        archive.entries.push_back({"part" + std::to_string(i), static_cast<std::uint32_t>(i), 900, {}, data});
    }
    return archive;
}

// Three update files: one at 1000, another in its second member, and one the blob cuts.
struct Blob {
    std::string bytes;
    std::string first, inner, last;
    std::size_t inner_at = 0, last_at = 0;
};

Blob blob() {
    Blob blob;
    blob.inner = build::bytes(archive_of(1, "inner"));
    build::Archive outer = archive_of(2, "V1.2 outer");
    outer.entries[1].data = blob.inner;
    outer.entries[1].size = static_cast<std::uint32_t>(blob.inner.size());
    blob.first = build::bytes(outer);
    blob.inner_at = 1000 + build::data_start_of(2) + build::chunk_of(900);
    blob.last = build::bytes(archive_of(5, "cut one"));
    blob.bytes = filler(1000, 1) + blob.first + filler(333, 2);
    blob.last_at = blob.bytes.size();
    blob.bytes += blob.last.substr(0, 3000);
    return blob;
}

TEST(ScanCommand, ListsEveryUpdateFileInATable) {
    TempDir dir;
    const Blob made = blob();
    write_file(dir.file("dump.bin"), made.bytes);
    const test::ToolRun run = run_tool({"--scan", dir.file("dump.bin")});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    char expected[512];
    std::snprintf(expected, sizeof expected,
                  "offset      end         files  notes  version\n"
                  "0x000003e8  0x%08zx      2  -      V1.2 outer\n"
                  "0x%08zx  0x%08zx      1  in=0x000003e8  inner\n"
                  "0x%08zx  0x%08zx      5  cut    cut one\n",
                  1000 + made.first.size(), made.inner_at, made.inner_at + made.inner.size(), made.last_at,
                  made.last_at + made.last.size());
    EXPECT_EQ(run.out, expected);
    // A version text with a control byte is only a weak hit; on a terminal its controls
    // are escaped, as every untrusted text is, and into a pipe the bytes stay.
    write_file(dir.file("odd.bin"), filler(10, 4) + build::bytes(archive_of(1, "odd\x1b]0;x\a")));
    EXPECT_EQ(run_tool({"--scan", dir.file("odd.bin")}).status, 1);
    const test::ToolRun piped = run_tool({"--scan", "--weak", dir.file("odd.bin")});
    EXPECT_NE(piped.out.find("  weak   odd\x1b]0;x\a\n"), std::string::npos) << piped.out;
    if (test::posix_child_controls) {
        test::ToolOptions terminal;
        terminal.terminal_columns = 80;
        const test::ToolRun shown = run_tool({"--scan", "--weak", "--color=never", dir.file("odd.bin")}, terminal);
        EXPECT_NE(shown.out.find("odd\\033]0;x\\a"), std::string::npos) << shown.out;
    }
}

TEST(ScanCommand, APipeGivesTheSameDocumentAsTheFile) {
    TempDir dir;
    const Blob made = blob();
    write_file(dir.file("dump.bin"), made.bytes);
    const test::ToolRun file = run_tool({"--scan", "--json", dir.file("dump.bin")});
    test::ToolOptions piped;
    piped.stdin_bytes = made.bytes;
    const test::ToolRun pipe = run_tool({"--scan", "--json", "-"}, piped);
    ASSERT_EQ(file.status, 0) << file.err;
    ASSERT_EQ(pipe.status, 0) << pipe.err;
    nlohmann::json from_file = nlohmann::json::parse(file.out);
    nlohmann::json from_pipe = nlohmann::json::parse(pipe.out);
    EXPECT_EQ(from_pipe["scan"]["file"], "-");
    from_pipe["scan"]["file"] = from_file["scan"]["file"];
    EXPECT_EQ(from_file, from_pipe);
    const nlohmann::json& found = from_file["scan"]["found"];
    EXPECT_EQ(from_file["scan"]["size"], made.bytes.size());
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0], nlohmann::json::parse(R"({"offset": 1000, "end": )" + std::to_string(1000 + made.first.size()) +
                                              R"(, "file_count": 2, "version": "V1.2 outer", "cut": false,)"
                                              R"( "within": null, "weak": false})"));
    EXPECT_EQ(found[1]["within"], 1000);
    EXPECT_EQ(found[2]["cut"], true);
    EXPECT_EQ(found[2]["version"], "cut one");
}

TEST(ScanCommand, CarvesEachUpdateFileFromAFileAndFromAPipe) {
    TempDir dir;
    const Blob made = blob();
    write_file(dir.file("dump.bin"), made.bytes);
    std::filesystem::create_directory(dir.file("out"));
    const test::ToolRun run = run_tool({"--carve", "-v", "-C", dir.file("out"), dir.file("dump.bin")});
    EXPECT_EQ(run.status, 0) << run.err;
    char inner_name[32], last_name[32];
    std::snprintf(inner_name, sizeof inner_name, "%08zx.update", made.inner_at);
    std::snprintf(last_name, sizeof last_name, "%08zx.update", made.last_at);
    EXPECT_EQ(test::tree(dir.file("out")), (std::vector<std::string>{"000003e8.update", inner_name, last_name}));
    EXPECT_EQ(read_file(dir.file("out/000003e8.update")), made.first);
    EXPECT_EQ(read_file(dir.file("out/") + inner_name), made.inner);
    EXPECT_EQ(read_file(dir.file("out/") + last_name), made.last.substr(0, 3000));  // as far as the blob goes
    EXPECT_NE(run.out.find(dir.file("out/000003e8.update") + "\n"), std::string::npos) << run.out;

    // A carved file is an update file in its own right, as --offset reads it in place.
    const test::ToolRun listed = run_tool({"-l", dir.file("out/000003e8.update")});
    EXPECT_EQ(listed.status, 0) << listed.err;

    // A pipe gives its bytes once: the files no other holds are carved.
    std::filesystem::create_directory(dir.file("piped"));
    test::ToolOptions piped;
    piped.stdin_bytes = made.bytes;
    const test::ToolRun pipe = run_tool({"--carve", "-C", dir.file("piped"), "-"}, piped);
    EXPECT_EQ(pipe.status, 0) << pipe.err;
    EXPECT_EQ(test::tree(dir.file("piped")), (std::vector<std::string>{"000003e8.update", last_name}));
    EXPECT_EQ(read_file(dir.file("piped/000003e8.update")), made.first);

    // An existing file is kept as extraction keeps one, and the run says so.
    const test::ToolRun kept = run_tool({"--carve", "-k", "-C", dir.file("out"), dir.file("dump.bin")});
    EXPECT_EQ(kept.status, 255);
    EXPECT_NE(kept.err.find("000003e8.update: a file of that name is there already"), std::string::npos) << kept.err;
    EXPECT_EQ(run_tool({"--carve", "--skip-old-files", "-C", dir.file("out"), dir.file("dump.bin")}).status, 0);
}

TEST(ScanCommand, StatusesAndRefusals) {
    TempDir dir;
    write_file(dir.file("plain.bin"), filler(100000, 3));
    write_file(dir.file("dump.bin"), blob().bytes);
    const test::ToolRun none = run_tool({"--scan", dir.file("plain.bin")});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "kpupdate: no update file found in " + dir.file("plain.bin") + " (100000 bytes)\n");
    EXPECT_EQ(run_tool({"--scan", dir.file("missing.bin")}).status, 255);

    const std::pair<std::vector<std::string>, std::string> refusals[] = {
        {{"--scan"}, "'--scan' needs FILE, the file to look inside"},
        {{"--weak", "dump.bin"}, "'--weak' needs '--scan' or '--carve'"},
        {{"--scan", "--carve", "dump.bin"},
         "'--scan' and '--carve' cannot go together: '--carve' lists what it writes"},
        {{"--scan", "-a", "dump.bin"}, "'--scan' and a selector cannot go together"},
        {{"--carve", "--list", "dump.bin"}, "'--carve' and '--list' cannot go together"},
        {{"--scan", "--test", "dump.bin"}, "'--scan' and '--test' cannot go together"},
        {{"--scan", "-C", ".", "dump.bin"}, "'--directory' with '--scan' needs '--carve'"},
        {{"--scan", "dump.bin", "a.bin"}, "'--scan' and a selector cannot go together"},
    };
    test::ToolOptions here;
    here.cwd = dir.path();
    for (const auto& [arguments, message] : refusals) {
        const test::ToolRun run = run_tool(arguments, here);
        EXPECT_EQ(run.status, 255) << message;
        EXPECT_EQ(run.err, "kpupdate: " + message + "; see 'kpupdate --help'.\n") << arguments.front();
        EXPECT_EQ(run.out, "");
    }
}

}  // namespace
}  // namespace kp
