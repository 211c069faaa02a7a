// The entries of an update file to be made, as a person or --json writes them down.
#pragma once

#include <cstddef>
#include <string_view>

#include "create/create.h"

namespace kp {

// The largest manifest read: a document of 5000 entries with every field filled takes
// under 3 MiB, and one far larger would only cost time and memory to refuse later.
inline constexpr std::size_t largest_manifest = std::size_t{64} << 20;

// Reads the document --json prints, or any part of it that a person writes (at least the
// entries' names), into `archive`: the entries in their order with their names, index
// numbers (their positions where none is given), sizes and signatures; the version text,
// the header's signatures, and the bytes after the texts' NULs and in the gap, where
// given. Every other field is what the layout derives, and is left to it. False, with
// why, for text that is no JSON (its line and column, and at most 40 bytes of what was
// read there), a key given twice in one object (where each is), or a field that holds
// what it should not.
bool read_manifest(std::string_view text, NewArchive& archive, CreateProblem& problem);

}  // namespace kp
