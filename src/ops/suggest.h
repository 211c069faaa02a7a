// What a person most likely meant by a word that names nothing known.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace kp {

// How many single-byte insertions, deletions, substitutions and swaps of two neighbours
// turn `a` into `b`.
std::size_t edit_distance(std::string_view a, std::string_view b);

// The candidate nearest `word`, where it is at most `most` edits away; empty when none
// is. The first of several equally near.
std::string_view nearest(std::string_view word, const std::vector<std::string_view>& candidates, std::size_t most = 2);

}  // namespace kp
