// The bash completion's option words, made from the option table when the program is built.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kp {

// The words a word that begins with '-' completes to, in the help's order: each letter,
// and each long name, with '=' where it takes a value (both ways where it may go without).
std::vector<std::string> completion_words();

// The option words whose value may be the next argument.
std::vector<std::string> value_option_words();

// The completion script of `script_template` with its @OPTION_WORDS@ and @VALUE_OPTIONS@
// replaced by those words, a few to a line; empty when either is missing.
std::string completion_script(std::string_view script_template);

}  // namespace kp
