// What the writers' tests share: the program run in a directory, and files whose last
// change the system's clock has passed.
#pragma once

#include <string>

#include "support/run_tool.h"

namespace kp::test {

// Options that run the program in `directory`.
ToolOptions in(const std::string& directory);

// Where the system stamps each change of a file by its own clock, the file at `path`,
// once its last change lies before the clock's now; whether one look after its read then
// stands for two.
bool settles(const std::string& path);

// Every file under `root`, settled as above: a tree a pass may read each file of first.
void settle_tree(const std::string& root);

}  // namespace kp::test
