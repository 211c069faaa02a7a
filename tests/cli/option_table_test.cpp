#include "cli/option_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/run_tool.h"

namespace kp {
namespace {

// The help is kept as text beside the tests; KPUPDATE_REGENERATE=1 rewrites it.
TEST(Help, MatchesItsRecordedText) {
    const std::string expected_path = std::string(KPUPDATE_SOURCE_DIR) + "/tests/cli/expected/help.stdout";
    const test::ToolRun run = test::run_tool({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    if (const char* regenerate = std::getenv("KPUPDATE_REGENERATE"); regenerate != nullptr && *regenerate == '1') {
        test::write_file(expected_path, run.out);
    }
    EXPECT_EQ(run.out, test::read_file(expected_path));
}

}  // namespace
}  // namespace kp
