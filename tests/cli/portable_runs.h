// The program run in this process with one way of the file calls forced on, a way no
// child running the binary can be made to take.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/driver.h"
#include "fs/testing.h"
#include "support/capture.h"
#include "support/run_tool.h"

namespace kp::test {

// `kpupdate ARGS...` in this process, with one way of the file calls forced on (the
// portable ones by default), and the messages it printed: the reasons on standard error
// as `err`, the rest as `out`.
inline ToolRun run_portable(const std::vector<std::string>& args, void (*force)(bool) = use_portable_file_calls) {
    std::vector<std::string> words = {"kpupdate"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    Options options;
    EXPECT_EQ(parse_options(options, static_cast<int>(argv.size()), argv.data()), "");
    UpdateArchive archive;
    CapturedConsole capture;
    force(true);
    ToolRun run;
    RunInputs inputs;
    EXPECT_EQ(open_inputs(options, "", inputs).usage, "");
    open_file_input(options, inputs);
    run.status = run_program(archive, capture.console, options, inputs) & 0xFF;
    close_inputs(inputs);
    force(false);
    std::istringstream lines(capture.text());
    for (std::string line; std::getline(lines, line);)
        (line.starts_with("kpupdate: ") ? run.err : run.out) += line + "\n";
    return run;
}

}  // namespace kp::test
