// The options the command line knows: each one's letter, name and value, what it does
// with the value, and how a name or a start of one is looked up.
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
    const char* values = nullptr;  // what a value it refuses should have been
};

// Every option, in the order --help shows them.
std::span<const OptionForm> option_forms();

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
