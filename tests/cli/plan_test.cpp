// What each command line does with each kind of input: one mode, and for reading the
// steps in their order.
#include "cli/plan.h"

#include <gtest/gtest.h>

namespace kp {
namespace {

struct Planned {
    Mode mode = Mode::read;
    Work work = Work::reports;
    std::string steps;  // t: test first, T: test last, h: held, d: drained
    std::string ending;
};

Planned planned(std::vector<std::string> args, InputKind kind, const std::string& usage = {}) {
    std::vector<char*> argv = {const_cast<char*>("kpupdate")};
    for (std::string& arg : args) argv.push_back(arg.data());
    Options options;
    OptionsProblem problem;
    problem.usage = usage.empty() ? parse_options(options, static_cast<int>(argv.size()), argv.data()) : usage;
    RunInputs inputs;
    inputs.file_kind = kind;
    inputs.file.stream = kind == InputKind::stream;
    const Plan plan = plan_of(options, problem, inputs);
    Planned shown{plan.mode, plan.work, {}, plan.ending.lines.empty() ? "" : plan.ending.lines.back()};
    if (plan.test_first) shown.steps += 't';
    if (plan.test_last) shown.steps += 'T';
    if (plan.hold) shown.steps += 'h';
    if (plan.drain) shown.steps += 'd';
    return shown;
}

TEST(PlanOf, OneModeAndItsStepsForEachRunAndInput) {
    constexpr InputKind file = InputKind::file;
    constexpr InputKind stream = InputKind::stream;
    struct Case {
        std::vector<std::string> args;
        InputKind kind;
        Mode mode;
        Work work;
        std::string steps;
    };
    const Case cases[] = {
        {{"f"}, file, Mode::read, Work::reports, ""},
        {{"-"}, stream, Mode::read, Work::reports, "d"},
        {{"f", "3"}, file, Mode::read, Work::extract, ""},
        {{"f", "a.bin"}, file, Mode::read, Work::extract, ""},
        {{"-x", "f"}, file, Mode::read, Work::extract, ""},
        {{"-t", "f"}, file, Mode::read, Work::reports, "t"},
        {{"-t", "-"}, stream, Mode::read, Work::reports, "T"},
        {{"-ta", "f"}, file, Mode::read, Work::extract, "t"},
        {{"-ta", "-"}, stream, Mode::read, Work::extract, "Th"},
        {{"-a", "-"}, stream, Mode::read, Work::extract, "d"},
        {{"-l", "-t", "-"}, stream, Mode::read, Work::list, "T"},
        {{"-l", "-a", "f"}, file, Mode::read, Work::list, ""},
        {{"--sha256", "f"}, file, Mode::read, Work::digests, ""},
        {{"--sha256", "-t", "-"}, stream, Mode::read, Work::digests, "T"},
        {{"--diff=o", "-a", "f"}, file, Mode::read, Work::diff, ""},
        {{"--diff=o", "-"}, stream, Mode::read, Work::diff, "d"},
        {{"-O", "f", "a"}, file, Mode::read, Work::extract, ""},
        {{"f"}, InputKind::terminal, Mode::refusal, Work::reports, ""},
        {{"f"}, InputKind::unopened, Mode::read, Work::reports, ""},
        {{}, InputKind::unopened, Mode::read, Work::reports, ""},
        {{"-c", "n", "t"}, InputKind::unopened, Mode::create, Work::reports, ""},
        {{"--manifest=m", "f"}, InputKind::unopened, Mode::create, Work::reports, ""},
        {{"--help", "-c", "n"}, file, Mode::help, Work::reports, ""},
        {{"--version", "f"}, file, Mode::version, Work::reports, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Planned plan = planned(c.args, c.kind);
        EXPECT_EQ(plan.mode, c.mode);
        EXPECT_EQ(plan.work, c.work);
        EXPECT_EQ(plan.steps, c.steps);
    }
}

// A usage problem wins over everything the options ask for; the help pointer is left
// off a refusal that says what to do instead, and a directory's reason is its own line.
TEST(PlanOf, EndingsSayWhyOnceEach) {
    EXPECT_EQ(planned({"--help"}, InputKind::file, "'--list' and '--stdout' cannot go together").ending,
              "'--list' and '--stdout' cannot go together; see 'kpupdate --help'.");
    EXPECT_EQ(planned({"f"}, InputKind::file, "unrecognized option '--lsit'; did you mean '--list'?").ending,
              "unrecognized option '--lsit'; did you mean '--list'?");
    EXPECT_EQ(planned({"-z", "f"}, InputKind::file).ending,
              "update files are not compressed; to read a compressed one: zcat f | kpupdate -");
    EXPECT_EQ(planned({"-q", "f"}, InputKind::terminal).ending, "refusing to read an update file from a terminal");
    EXPECT_EQ(planned({"f", "1", "2"}, InputKind::terminal).mode, Mode::refusal);
}

// Held, the progress reaches the screen as it happens and each entry waits for the
// replay, which tells them in order and ends once, after them.
TEST(HoldEntries, DrawsAtOnceAndTellsEachEntryOnReplay) {
    std::string told;
    HeldEntries held;
    held.live.context = &told;
    held.live.begin = [](void* c, u64 bytes, u64 entries) {
        *static_cast<std::string*>(c) += "begin " + std::to_string(bytes) + "/" + std::to_string(entries) + ";";
    };
    held.live.copied = [](void* c, u64 bytes) { *static_cast<std::string*>(c) += "+" + std::to_string(bytes) + ";"; };
    held.live.entry = [](void* c, u32 position, EntryResult result, const EntryProblem& problem,
                         std::string_view path) {
        *static_cast<std::string*>(c) += std::to_string(position) + (result == EntryResult::written ? "w" : "f") +
                                         std::string(path) + problem.system_text + ";";
    };
    held.live.end = [](void* c) { *static_cast<std::string*>(c) += "end;"; };
    const ExtractionEvents events = hold_entries(held);
    events.begin(events.context, 30, 2);
    events.copied(events.context, 10);
    events.entry(events.context, 4, EntryResult::written, {}, "a");
    EntryProblem problem;
    problem.system_text = "!";
    events.entry(events.context, 1, EntryResult::failed, problem, "b");
    events.end(events.context);
    EXPECT_EQ(told, "begin 30/2;+10;end;");
    told.clear();
    replay(held);
    EXPECT_EQ(told, "4wa;1fb!;end;");
}

}  // namespace
}  // namespace kp
