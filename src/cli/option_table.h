// The options the command line knows: each one's letter, name and value, what it does
// with the value, how the help shows it, and how a name or a start of one is looked up.
// The help, the completion's option words and the manual's list are made from, or
// tested against, this one table.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "cli/options.h"

namespace kp {

// A value: none, one (after '=' or as the next argument), or one only after '='.
enum class Takes : unsigned char { nothing, value, optional };

// What an option does with its value; false when the value is not one it takes.
using Apply = bool (*)(Options& options, const char* value);

struct OptionForm {
    char letter;  // 0: long form only
    const char* name;
    Takes takes;
    Apply apply;
    // Its place in the order the options came in, which a list of possibilities and the
    // option suggested for a misspelt one follow, so that their messages stay as they
    // were; a new option takes the next number.
    unsigned char age;
    // What --help says of it, a line for each of the help's lines; null for an option that
    // is refused rather than offered (the help, the completion and the manual leave it out).
    const char* help = nullptr;
    const char* value_name = nullptr;  // its value, as the help names it: FILE, N, WHEN
    const char* values = nullptr;      // what a value it refuses should have been
};

// Every option, in the order --help shows them.
std::span<const OptionForm> option_forms();

// Every option, in the order of its age.
std::span<const OptionForm* const> options_by_age();

// An option as the help's first column names it: "-n, --name=NAME", "--color[=WHEN]".
std::string option_synopsis(const OptionForm& form);

// The long option that `name` names: exactly, or as the start of only one; null with
// `problem` set when none or several do. A name that is none names the nearest option,
// where one is two edits away at most.
const OptionForm* find_long(std::string_view name, std::string& problem);

const OptionForm* find_short(char letter);

// Whether `text` is a whole decimal number with an optional sign: "12", "-1", "+3".
bool is_whole_number(const char* text);

// A value as a refusal shows it: at most its first 40 bytes.
std::string shown_value(const char* value);

}  // namespace kp
