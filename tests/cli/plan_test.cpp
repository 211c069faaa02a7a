// The one status a run's findings make.
#include "cli/plan.h"

#include <gtest/gtest.h>

namespace kp {
namespace {

TEST(StatusOf, DamageOverFailureOverDifferenceOverAnUnreadStream) {
    const std::pair<Findings, i32> cases[] = {
        {{}, 0},
        {{.unreadable = true}, -2},
        {{.different = true, .unreadable = true}, 1},
        {{.failed = true, .different = true, .unreadable = true}, -1},
        {{.damaged = true, .failed = true, .different = true}, -2},
    };
    for (const auto& [findings, status] : cases) EXPECT_EQ(status_of(findings), status);
}

}  // namespace
}  // namespace kp
