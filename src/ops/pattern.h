// Shell-style patterns for choosing entries by name, each compiled once and then matched
// against any number of names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ops/names.h"

namespace kp {

// The longest pattern taken: far more than any name, and small enough that matching a
// name costs a few thousand machine words at most.
inline constexpr std::size_t longest_pattern = 4096;

// A pattern made into a machine of states, one or two for each of its parts, that moves
// through a name one byte at a time with every state it may be in at once: the cost is
// the name's length times the pattern's in machine words, whatever the stars.
struct CompiledPattern {
    std::size_t words = 0;                 // machine words per set of states
    std::size_t accept = 0;                // the state that ends a match
    std::vector<std::uint64_t> next;       // for each byte, the states it moves on from: 256 sets
    std::vector<std::uint64_t> stay_any;   // states a byte keeps, whatever it is ('**')
    std::vector<std::uint64_t> stay_part;  // states a byte keeps unless it is '/' ('*')
    std::vector<std::uint64_t> skip;       // states that move on by one without a byte
    std::vector<std::uint64_t> skip_two;   // and by two ('**/', which may match nothing)
    std::vector<std::uint64_t> start;      // the states before the first byte
};

// `pattern` under `rules`: '*' matches any run of bytes but '/', '**' any run at all
// ('**/' also none, so "**/x" matches "x"), '?' one byte but '/', "[...]" one byte of a
// class (ranges a-z, negated by '!' or '^' first, ']' first taken as itself; never '/'),
// and '\' takes the next byte as it is. Under Windows rules ASCII letters match either
// case.
CompiledPattern compile_pattern(std::string_view pattern, NameRules rules);

// Whether `name` matches all of `pattern`, byte by byte.
bool pattern_matches(const CompiledPattern& pattern, std::string_view name);

// The same for a pattern used once.
bool glob_match(std::string_view pattern, std::string_view name, NameRules rules);

// Names that no file is picked by: patterns compiled once for a whole run.
struct Exclusions {
    std::vector<CompiledPattern> patterns;
    bool empty() const { return patterns.empty(); }
};

Exclusions exclusions_of(const std::vector<std::string>& patterns, NameRules rules = native_name_rules());

// Whether one of the exclusions matches a run of whole parts of `name`, as GNU tar's do:
// the whole name, its trailing parts at any depth (`*.ko` takes `lib/m/x.ko`, `m/*.ko`
// takes `lib/m/x.ko`), or a directory it lies in, at any depth, which takes everything
// below it (`lib` takes `lib/m/x.ko`).
bool is_excluded(const Exclusions& exclusions, std::string_view name, NameRules rules = native_name_rules());

}  // namespace kp
