// What the mount says on standard error. Names in its lines come from FILE, and FILE's
// own from whoever named it: each is quoted as the command line quotes it, and where
// standard error is a terminal every line is escaped as the command line's lines are, so
// that no name can drive the terminal.
#pragma once

#include <string>
#include <string_view>

namespace kpmount {

// Decides once, at the start, whether standard error is a terminal.
void messages_begin();

// One line on standard error as it is given, in one write from any thread.
void say_raw(std::string_view line);

// One line of the mount's own: "kpupdate-mount: LINE".
void say(std::string_view line);

// `text` as the shell would take it back, as the command line names files and entries.
std::string quoted(std::string_view text);

}  // namespace kpmount
