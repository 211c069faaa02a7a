// The round trip --json, a tree, --create --manifest, run by the binary: what the digests
// in the document find changed, and what the tree holds that the document does not name.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/create.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::in;
using test::read_file;
using test::run_tool;
using test::TempDir;
using test::write_file;

void put(const TempDir& dir, const std::string& name, const std::string& bytes) {
    fs::create_directories(fs::path(dir.file(name)).parent_path());
    write_file(dir.file(name), bytes);
}

// The sha256 of each entry by name, from the document; "-" where an entry has none.
std::map<std::string, std::string> document_sums(const std::string& document) {
    std::map<std::string, std::string> sums;
    const nlohmann::json parsed = nlohmann::json::parse(document);
    for (const nlohmann::json& entry : parsed.at("entries")) sums[entry.at("name")] = entry.value("sha256", "-");
    return sums;
}

// --sha256's lines by name; "-" for an entry it gives no line.
std::map<std::string, std::string> listed_sums(const std::string& lines,
                                               const std::map<std::string, std::string>& all) {
    std::map<std::string, std::string> sums;
    for (const auto& [name, sum] : all) sums[name] = "-";
    for (std::size_t at = 0; at < lines.size();) {
        const std::size_t end = lines.find('\n', at);
        sums[lines.substr(at + 66, end - at - 66)] = lines.substr(at, 64);
        at = end + 1;
    }
    return sums;
}

TEST(JsonSums, AreWhatSha256PrintsForEveryEntryItCanRead) {
    TempDir dir;
    put(dir, "t/a.bin", "abcde");
    put(dir, "t/b/empty", "");
    put(dir, "t/b/large.bin", std::string(300 << 10, 'L'));  // more than a stream's buffer holds
    put(dir, "t/c.txt", std::string(700, 'c'));
    put(dir, "t/d", "d");  // five: four would make the first bytes the last record's
    ASSERT_EQ(run_tool({"-c", "a.update", "-C", "t", "."}, in(dir.path())).status, 0);
    const std::string whole = read_file(dir.file("a.update"));
    write_file(dir.file("cut.update"), whole.substr(0, whole.size() - 900));  // c.txt's and d's end past it
    struct Case {
        const char* what;
        std::string file;
        bool piped;
        std::size_t without;  // entries with no sha256
    };
    const Case cases[] = {
        {"a file", "a.update", false, 0},
        {"a stream", "a.update", true, 0},
        {"a cut file", "cut.update", false, 2},
        {"a cut stream", "cut.update", true, 2},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        test::ToolOptions options = in(dir.path());
        if (row.piped) options.stdin_bytes = read_file(dir.file(row.file));
        const std::string file = row.piped ? "-" : row.file;
        const test::ToolRun json = run_tool({"--json", file}, options);
        const test::ToolRun listed = run_tool({"--sha256", file}, options);
        const std::map<std::string, std::string> sums = document_sums(json.out);
        ASSERT_EQ(sums.size(), 5u);
        EXPECT_EQ(sums, listed_sums(listed.out, sums));
        EXPECT_EQ(sums.at("b/empty"), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        EXPECT_EQ(std::count_if(sums.begin(), sums.end(), [](const auto& sum) { return sum.second == "-"; }),
                  static_cast<long>(row.without));
    }
}

// Each row edits the extracted tree, then makes the file again from the document: the
// warnings, in order, and whether the bytes are the original's.
TEST(ManifestSums, WarnOfEveryChangeTheRoundTripCannotKeep) {
    const std::string kept = "; its signatures are kept for the changed bytes\n";
    struct Case {
        const char* what;
        std::function<void(const TempDir&)> edit;
        std::string err;
        bool same;
    };
    const Case cases[] = {
        {"nothing changed", [](const TempDir&) {}, "", true},
        {"the same size, other bytes", [](const TempDir& dir) { put(dir, "tree/a.bin", "abcdX"); },
         "kpupdate: warning: a.bin is 5 bytes, as the manifest says, but not the bytes its sha256 says" + kept, false},
        {"the same size, other bytes, of a file copied in pieces",
         [](const TempDir& dir) { put(dir, "tree/b/large.bin", std::string(300 << 10, 'L') + "!"); },
         "kpupdate: warning: b/large.bin is 307201 bytes, as the manifest says, but not the bytes its sha256 says" +
             kept,
         false},
        {"the same size, other bytes, at the first byte", [](const TempDir& dir) { put(dir, "tree/a.bin", "Abcde"); },
         "kpupdate: warning: a.bin is 5 bytes, as the manifest says, but not the bytes its sha256 says" + kept, false},
        {"another size: one warning, not two", [](const TempDir& dir) { put(dir, "tree/a.bin", "abcdef"); },
         "kpupdate: warning: a.bin is 6 bytes where the manifest says 5" + kept, false},
        {"files the manifest does not name, in byte order",
         [](const TempDir& dir) {
             put(dir, "tree/b/z", "z");
             put(dir, "tree/B.txt", "B");
             put(dir, "tree/b/new/x", "");
         },
         "kpupdate: warning: B.txt is not named in the manifest; not added\n"
         "kpupdate: warning: b/new/x is not named in the manifest; not added\n"
         "kpupdate: warning: b/z is not named in the manifest; not added\n",
         true},
        {"an edit and an extra file",
         [](const TempDir& dir) {
             put(dir, "tree/c.txt", std::string(699, 'c') + "C");
             put(dir, "tree/d", "d");
         },
         "kpupdate: warning: c.txt is 700 bytes, as the manifest says, but not the bytes its sha256 says" + kept +
             "kpupdate: warning: d is not named in the manifest; not added\n",
         false},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        put(dir, "t/a.bin", "abcde");
        put(dir, "t/b/large.bin", std::string(300 << 10, 'L') + "l");
        put(dir, "t/c.txt", std::string(700, 'c'));
        fs::create_directory(dir.file("tree"));
        ASSERT_EQ(run_tool({"-c", "a.update", "-C", "t", "."}, in(dir.path())).status, 0);
        ASSERT_EQ(run_tool({"-qa", "-C", "tree", "a.update"}, in(dir.path())).status, 0);
        const test::ToolRun json = run_tool({"--json", "a.update"}, in(dir.path()));
        ASSERT_EQ(json.status, 0);
        write_file(dir.file("m.json"), json.out);
        row.edit(dir);
        const test::ToolRun made = run_tool({"-c", "b.update", "-C", "tree", "--manifest", "m.json"}, in(dir.path()));
        EXPECT_EQ(made.err, row.err);
        EXPECT_EQ(made.status, 0);
        EXPECT_EQ(read_file(dir.file("b.update")) == read_file(dir.file("a.update")), row.same);
    }
}

// A directory the walk cannot read is said, and the run still makes the file.
TEST(ManifestSums, SaysWhatItCouldNotCompare) {
    if (!test::posix_child_controls) GTEST_SKIP() << "permissions are POSIX's";
    TempDir dir;
    put(dir, "tree/a", "a");
    put(dir, "tree/shut/x", "x");
    fs::permissions(dir.file("tree/shut"), fs::perms::none);
    write_file(dir.file("m.json"), R"({"entries": ["a"]})");
    test::ToolOptions options = in(dir.path());
    options.unprivileged = true;  // root reads any directory
    if (const int start = run_tool({"--version"}, options).status; start == 126 || start == 127)
        GTEST_SKIP() << "a child run as nobody cannot start the program here";
    // To standard output: nobody may not write in the test's directory.
    const test::ToolRun made = run_tool({"-c", "-", "-C", "tree", "--manifest", "m.json"}, options);
    fs::permissions(dir.file("tree/shut"), fs::perms::owner_all);
    EXPECT_EQ(made.err,
              "kpupdate: warning: shut: Permission denied; what lies below it is not compared with the manifest\n");
    EXPECT_EQ(made.status, 0);
    EXPECT_FALSE(made.out.empty());
}

TEST(ManifestSums, RefusesADigestThatIsNone) {
    const char* const values[] = {R"("abc")", R"(12)", R"("")",
                                  R"("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b85")",
                                  R"("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b85g")"};
    for (const char* value : values) {
        SCOPED_TRACE(value);
        TempDir dir;
        put(dir, "a", "");
        write_file(dir.file("m.json"), std::string(R"({"entries": [{"name": "a", "sha256": )") + value + "}]}");
        const test::ToolRun made = run_tool({"-c", "n.update", "--manifest", "m.json"}, in(dir.path()));
        EXPECT_EQ(made.err,
                  "kpupdate: m.json: entries[0].sha256 should be a SHA-256 digest: 64 hexadecimal digits\n"
                  "kpupdate: n.update was not written\n");
        EXPECT_EQ(made.status, 255);
    }
}

}  // namespace
}  // namespace kp
