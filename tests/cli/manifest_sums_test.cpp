// The digests --json gives each entry, run by the binary: --sha256's, where the bytes are
// there; and --create --manifest takes them back.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

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
