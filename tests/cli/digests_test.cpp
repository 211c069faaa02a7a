// --sha256 through the binary.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "archive_builder.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::run_tool;
using test::TempDir;

// --sha256 prints what sha256sum prints of each entry's own bytes, under the name it is
// written as, so that sha256sum -c checks a tree extracted with --trim.
TEST(Digests, AreWhatSha256sumSaysOfTheExtractedTree) {
    TempDir dir;
    build::Archive plan;
    plan.entries = {{"fw/abc.bin", 1, 3, {}, "abc"},
                    {"empty.bin", 2, 0, {}, ""},
                    {"back\\slash.bin", 3, 3, {}, "abc"},
                    {"fw/abc.bin", 4, 3, {}, "abd"}};  // the latest of a name is the one written
    const std::string bytes = build::bytes(plan);
    test::write_file(dir.file("a.update"), bytes);
    const std::string cut = bytes.substr(0, bytes.size() - 512);  // the last chunk is gone
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    const std::string abd = "a52d159f262b2c6ddb724a61840befc36eb30c88877a4030b65cbe86298449c9";
    const std::string empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    const bool windows = !test::posix_child_controls;  // there a backslash separates, as '/' does
    const std::string back = windows ? abc + "  back/slash.bin\n" : "\\" + abc + "  back\\\\slash.bin\n";
    const struct {
        std::vector<std::string> args;
        std::string out;
        std::string input;  // with it, FILE is standard input
        int status = 0;
    } cases[] = {
        {{"--sha256"}, empty + "  empty.bin\n" + back + abd + "  fw/abc.bin\n", "", 0},
        {{"--sha256", "-I", "fw/*", "--strip-components=1"}, abd + "  abc.bin\n", "", 0},
        {{"--sha256", "--strip-components=1"}, (windows ? abc + "  slash.bin\n" : "") + abd + "  abc.bin\n", "", 0},
        {{"--sha256", "--exclude=*.bin", "-n", "fw/abc.bin"}, "", "", 0},  // at any depth, as tar excludes
        {{"--sha256", "--exclude=fw/*.bin", "-n", "back\\slash.bin"}, back, "", 0},
        {{"--sha256"}, empty + "  empty.bin\n" + back, cut, 255},  // a stream that ends early
    };
    test::ToolOptions options;
    options.cwd = dir.path();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> args = c.args;
        args.push_back(c.input.empty() ? "a.update" : "-");
        options.stdin_bytes = c.input.empty() ? std::nullopt : std::optional<std::string>(c.input);
        const test::ToolRun run = run_tool(args, options);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
    }
    options.stdin_bytes = cut;
    const nlohmann::json document = nlohmann::json::parse(run_tool({"--json", "--sha256", "-"}, options).out);
    options.stdin_bytes.reset();
    EXPECT_EQ(document.at("sha256").at(0), nlohmann::json::parse(R"({"position": 1, "name": "empty.bin",
        "sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"})"));
    EXPECT_EQ(document.at("sha256").at(2).at("reason"), "its bytes reach 3 bytes past the end of the update file");
    if (windows) return;
    std::filesystem::create_directory(dir.file("tree"));
    ASSERT_EQ(run_tool({"-qa", "--trim", "-C", "tree", "a.update"}, options).status, 0);
    test::write_file(dir.file("sums"), run_tool({"--sha256", "a.update"}, options).out);
    const std::string check = "cd '" + dir.file("tree") + "' && sha256sum --quiet -c ../sums";
    EXPECT_EQ(std::system(check.c_str()), 0);
    test::write_file(dir.file("tree/empty.bin"), "x");
    EXPECT_NE(std::system((check + " >/dev/null 2>&1").c_str()), 0);
}

}  // namespace
}  // namespace kp
