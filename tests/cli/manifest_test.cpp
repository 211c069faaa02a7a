// --create from a manifest a person wrote, run by the binary.
#include <gtest/gtest.h>

#include <string>

#include "support/create.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::in;
using test::run_tool;
using test::TempDir;
using test::write_file;

// A manifest a person writes names the entries and what they carry; the rest is the
// layout's, a file of another size than the manifest's keeps its signatures, warned, and
// the manifest itself, in the tree, is a file it does not name.
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
              "changed bytes\nkpupdate: warning: m.json is not named in the manifest; not added\n");
    EXPECT_EQ(made.status, 0);
    EXPECT_EQ(run_tool({"-l", dir.file("n.update")}).out,
              "    7\t       5\t00000200\ta.bin\n    1\t     512\t00000400\tb.bin\n    9\t       1\t00000600\tindex\n");
    const std::string json = run_tool({"--json", dir.file("n.update")}).out;
    EXPECT_NE(json.find("\"version\": \"v9\""), std::string::npos);
    EXPECT_NE(json.find("[\"00000000000000ff\", \"0000000000000001\", \"0000000000000000\", \"00000000000000aa\"]"),
              std::string::npos);
}

}  // namespace
}  // namespace kp
