// What standard error says of each failure.
#include "report/reasons.h"

#include <gtest/gtest.h>

namespace kp {
namespace {

// Where a reason is put together: a count's number, padding's word, the system's text
// after the check's, and a name quoted where the shell would need it.
TEST(Reasons, PutTogetherWhatTheyHold) {
    const auto problem = [](EntryFailure failure, auto fill) {
        EntryProblem problem;
        problem.failure = failure;
        fill(problem);
        return problem;
    };
    const auto plain = [](EntryProblem&) {};
    const struct {
        EntryProblem problem;
        bool padded;
        std::string reason;
    } cases[] = {
        {problem(EntryFailure::unsafe_name,
                 [](EntryProblem& p) {
                     p.name_fault = NameFault::device;
                     p.part = "a b";
                 }),
         false, "its name has a part that names a device: 'a b'"},
        {problem(EntryFailure::outside_file, [](EntryProblem& p) { p.past_end = 24; }), true,
         "its chunk reaches 24 bytes past the end of the update file"},
        {problem(EntryFailure::outside_file,
                 [](EntryProblem& p) {
                     p.past_end = 1;
                     p.system_text = "Input/output error";
                 }),
         false, "its bytes reach 1 bytes past the end of the update file (reading it failed: Input/output error)"},
        {problem(EntryFailure::directory, [](EntryProblem& p) { p.part = "fw"; }), false,
         "fw: not a directory (a file, or a link)"},
        {problem(EntryFailure::directory,
                 [](EntryProblem& p) {
                     p.part = "-x";
                     p.system_text = "Permission denied";
                 }),
         false, "'-x': Permission denied"},
        {problem(EntryFailure::write, plain), false, "the update file ended before its bytes did"},
    };
    for (const auto& c : cases) EXPECT_EQ(entry_reason(c.problem, c.padded), c.reason);

    const std::pair<LoadProblem, std::string> loads[] = {
        {{LoadProblem::Kind::short_header, 1, 0, ""},
         "not an update file: it holds 1 byte, fewer than the 128 of its header"},
        {{LoadProblem::Kind::cannot_open, 0, 0, "Is a directory"}, "Is a directory"},
    };
    for (const auto& [load, reason] : loads) EXPECT_EQ(load_reason(load, "f.update"), reason);

    const std::pair<const char*, const char*> quoted[] = {
        {"a.bin", "a.bin"}, {"-", "-"}, {"", "''"}, {"-a", "'-a'"}, {"a b", "'a b'"}, {"it's", "'it'\\''s'"},
    };
    for (const auto& [text, shown] : quoted) EXPECT_EQ(shell_quoted(text), shown);
}

}  // namespace
}  // namespace kp
