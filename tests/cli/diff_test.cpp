// --diff through the binary: pairs of update files, an update file against a tree, and
// one read from a pipe.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include <nlohmann/json.hpp>

#include "archive_builder.h"
#include "cli/diff_runs.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::run_tool;
using test::TempDir;

build::Archive base() {
    return test::diff_base();
}

const std::string title = "--- Differences from old.update: ---\n";

TEST(Diff, TellsWhatChangedBetweenTwoUpdateFiles) {
    const auto with = [](auto change) {
        build::Archive plan = base();
        change(plan);
        return build::bytes(plan);
    };
    const std::string same = "SAME: 3 files.\n";
    std::string padded = build::bytes(base());
    padded[512 + 1000 + 5] = 'x';  // in a.bin's chunk, past its own bytes
    std::string cut = build::bytes(base());
    cut.resize(cut.size() - 600);
    const struct {
        const char* what;
        std::string fresh;
        std::vector<std::string> options;
        int status;
        std::string report;
    } cases[] = {
        {"nothing", build::bytes(base()), {}, 0, same},
        {"padding only", padded, {}, 0, same},
        {"version",
         with([](build::Archive& p) { p.version = "fw 2"; }),
         {},
         1,
         "version: fw 1 -> fw 2\nDIFFERENT: the version, 0 added, 0 removed, 0 changed, 3 the same.\n"},
        {"added and removed",
         with([](build::Archive& p) { p.entries[2].name = "new.txt"; }),
         {},
         1,
         "added:   new.txt (index 3, 10 bytes)\nremoved: notes.txt (index 3, 10 bytes)\n"
         "DIFFERENT: 1 added, 1 removed, 0 changed, 2 the same.\n"},
        {"index, signatures 1 and 4",
         with([](build::Archive& p) {
             p.entries[0].index = 7, p.entries[0].signature = {0, 2, 3, 0};
         }),
         {},
         1,
         "changed: a.bin: index 1 -> 7, signatures 1 4\nDIFFERENT: 0 added, 0 removed, 1 changed, 2 the same.\n"},
        {"size",
         with([](build::Archive& p) { p.entries[1].size = 700; }),
         {},
         1,
         "changed: fw/k.img: size 600 -> 700, bytes from 600\nDIFFERENT: 0 added, 0 removed, 1 changed, 2 the same.\n"},
        {"bytes, signatures 2 and 3",
         with([](build::Archive& p) {
             p.entries[1].data[4] = 'u', p.entries[1].signature = {5, 0, 0, 8};
         }),
         {},
         1,
         "changed: fw/k.img: signatures 2 3, bytes from 4\nDIFFERENT: 0 added, 0 removed, 1 changed, 2 the same.\n"},
        {"equivalent names", with([](build::Archive& p) { p.entries[1].name = "fw//k.img"; }), {}, 0, same},
        {"a refused name is no safe name's match",
         with([](build::Archive& p) { p.entries[1].name = "/fw//k.img"; }),
         {},
         1,
         "added:   /fw//k.img (index 2, 600 bytes)\nremoved: fw/k.img (index 2, 600 bytes)\n"
         "DIFFERENT: 1 added, 1 removed, 0 changed, 2 the same.\n"},
        {"a later entry of one name wins",
         with([](build::Archive& p) {
             p.entries.insert(p.entries.begin(), {"notes.txt", 3, 4, {0, 0, 0, 0}, "old"});
         }),
         {},
         0,
         same},
        {"the selectors restrict it",
         with([](build::Archive& p) { p.entries[0].data[0] = 'b'; }),
         {"-I", "*.txt"},
         0,
         "SAME: 1 file.\n"},
        {"damage",
         cut,
         {},
         254,
         "DAMAGE: notes.txt reaches 98 bytes past the end of the new file.\n"
         "DAMAGED: 0 added, 0 removed, 0 changed, 1 damaged, 2 the same.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        test::write_file(dir.file("old.update"), build::bytes(base()));
        test::write_file(dir.file("new.update"), c.fresh);
        test::ToolOptions options;
        options.cwd = dir.path();
        std::vector<std::string> args = {"-q", "--diff", "old.update"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back("new.update");
        const test::ToolRun run = run_tool(args, options);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, title + c.report);
        args[0] = "--json";
        const nlohmann::json diff = nlohmann::json::parse(run_tool(args, options).out).at("diff");
        EXPECT_EQ(diff.at("kind"), "update");
        EXPECT_EQ(diff.at("different"), c.status == 1);
        EXPECT_EQ(diff.at("damaged").empty(), c.status != 254);
    }
    TempDir dir;
    test::write_file(dir.file("new.update"), build::bytes(base()));
    test::write_file(dir.file("bad.update"), "short");
    test::ToolOptions options;
    options.cwd = dir.path();
    const test::ToolRun missing = run_tool({"-q", "--diff=none.update", "new.update"}, options);
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(missing.out, "ERROR: could not load file none.update.\n");
    // A selector neither side has: an error, kept in the document until its end.
    test::write_file(dir.file("old.update"), build::bytes(base()));
    const test::ToolRun gone = run_tool({"--json", "--diff=old.update", "-n", "gone", "new.update"}, options);
    EXPECT_EQ(gone.status, 255);
    EXPECT_EQ(nlohmann::json::parse(gone.out).at("missing"), nlohmann::json::parse(R"(["gone"])"));
    const test::ToolRun malformed = run_tool({"-q", "--diff=bad.update", "new.update"}, options);
    EXPECT_EQ(malformed.status, 254);
    EXPECT_EQ(malformed.out, "ERROR: syntax-error or EOF in file bad.update.\n");
}

TEST(Diff, ComparesWithADirectory) {
    TempDir dir;
    const std::string bytes = build::bytes(base());
    test::write_file(dir.file("new.update"), bytes);
    test::ToolOptions options;
    options.cwd = dir.path();
    const auto tree = [&](const char* extra_args, auto change) {
        std::filesystem::remove_all(dir.file("old"));
        std::filesystem::create_directory(dir.file("old"));
        run_tool({"-qa", extra_args, "-C", "old", "new.update"}, options);
        change();
        return run_tool({"-q", "--diff", "old", "new.update"}, options);
    };
    const std::string head = "--- Differences from old: ---\n";
    EXPECT_EQ(tree("--trim", [] {}).out, head + "SAME: 3 files.\n");
    EXPECT_EQ(tree("--progress=never", [] {}).out, head + "SAME: 3 files.\n");
    // A file is the same when it holds what extraction writes: its own bytes, or with
    // --padded its chunk. A padded tree is not the same as the entries' own bytes.
    const test::ToolRun padded = tree("--padded", [] {});
    EXPECT_EQ(padded.out, head +
                              "changed: a.bin: size 1024 -> 1000, bytes from 1000\n"
                              "changed: fw/k.img: size 1024 -> 600, bytes from 600\n"
                              "changed: notes.txt: size 512 -> 10, bytes from 10\n"
                              "DIFFERENT: 0 added, 3 changed, 0 extra, 0 the same.\n");
    EXPECT_EQ(run_tool({"-q", "--padded", "--diff", "old", "new.update"}, options).out, head + "SAME: 3 files.\n");
    EXPECT_EQ(run_tool({"-q", "--padded", "--diff", "old", "new.update"}, options).status, 0);
    // INDEX alone restricts a comparison; it compares what the tree holds, own bytes.
    tree("--trim", [] {});
    EXPECT_EQ(run_tool({"-q", "--diff", "old", "new.update", "1"}, options).out, head + "SAME: 1 file.\n");
    const test::ToolRun grown = tree("--trim", [&] { test::write_file(dir.file("old/notes.txt"), "notes-0123+more"); });
    EXPECT_EQ(grown.out, head +
                             "changed: notes.txt: size 15 -> 10, bytes from 10\n"
                             "DIFFERENT: 0 added, 1 changed, 0 extra, 2 the same.\n");
    const test::ToolRun changed = tree("--trim", [&] {
        std::filesystem::remove(dir.file("old/notes.txt"));
        test::write_file(dir.file("old/a.bin"), "other");
        test::write_file(dir.file("old/stray.bin"), "");
        if (test::posix_child_controls) {
            std::filesystem::remove_all(dir.file("old/fw"));
            std::filesystem::create_directory_symlink(dir.path(), dir.file("old/fw"));
        }
    });
    EXPECT_EQ(changed.status, 1);
    EXPECT_EQ(changed.out, head + (test::posix_child_controls ? "added:   fw/k.img (index 2, 600 bytes)\n" : "") +
                               "added:   notes.txt (index 3, 10 bytes)\n"
                               "changed: a.bin: size 5 -> 1000, bytes from 0\n" +
                               (test::posix_child_controls ? "extra:   fw\n" : "") + "extra:   stray.bin\n" +
                               "DIFFERENT: " + (test::posix_child_controls ? "2" : "1") + " added, 1 changed, " +
                               (test::posix_child_controls ? "2" : "1") + " extra, " +
                               (test::posix_child_controls ? "0" : "1") + " the same.\n");
    const test::ToolRun not_file = tree("--trim", [&] {
        std::filesystem::remove(dir.file("old/notes.txt"));
        std::filesystem::create_directory(dir.file("old/notes.txt"));
    });
    EXPECT_EQ(not_file.out,
              head + "changed: notes.txt: not a regular file\nDIFFERENT: 0 added, 1 changed, 0 extra, 2 the same.\n");
    const nlohmann::json json =
        nlohmann::json::parse(run_tool({"--json", "--diff=old", "-n", "notes.txt", "new.update"}, options).out)
            .at("diff");
    EXPECT_EQ(json.at("kind"), "directory");
    EXPECT_EQ(json.at("changed").at(0).at("regular"), false);
    EXPECT_EQ(json.at("extra").size(), 0u);  // a selection lists no extra files
}

// From a pipe, a comparison reads on where a read came back short: the same file read
// from a pipe is the same every time, however its reads fall.
TEST(Diff, ReadsEveryByteItComparesFromAPipe) {
    TempDir dir;
    build::Archive plan;
    std::string random(16 << 20, '\0');
    std::mt19937_64 bits(7);
    for (char& c : random) c = static_cast<char>(bits());
    plan.entries = {{"small.bin", 1, 1000, {}, std::string(1000, 's')},
                    {"large.bin", 2, static_cast<std::uint32_t>(random.size()), {}, random},
                    {"last.bin", 3, 100, {}, std::string(100, 'l')}};
    const std::string bytes = build::bytes(plan);
    test::write_file(dir.file("two.update"), bytes);
    test::ToolOptions options;
    options.cwd = dir.path();
    options.stdin_bytes = bytes;
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE(run);
        options.stdin_pause_at = 4096 + static_cast<std::size_t>(run) * 99991;  // reads fall elsewhere each time
        const test::ToolRun same = run_tool({"-q", "--diff=two.update", "-"}, options);
        EXPECT_EQ(same.status, 0);
        EXPECT_EQ(same.out, "--- Differences from two.update: ---\nSAME: 3 files.\n");
    }
}

}  // namespace
}  // namespace kp
