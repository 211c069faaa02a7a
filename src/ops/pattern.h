// Shell-style patterns for choosing entries by name.
#pragma once

#include <string_view>

#include "ops/names.h"

namespace kp {

// Whether `name` matches `pattern`, byte by byte: '*' matches any run of bytes but '/',
// '**' any run at all ('**/' also none, so "**/x" matches "x"), '?' one byte but '/',
// "[...]" one byte of a class (ranges a-z, negated by '!' or '^' first, ']' first taken
// as itself; never '/'), and '\' takes the next byte as it is. Under Windows rules
// ASCII letters match either case.
bool glob_match(std::string_view pattern, std::string_view name, NameRules rules);

}  // namespace kp
