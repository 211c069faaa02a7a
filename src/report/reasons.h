// Why something failed, in words for standard error: "kpupdate: WHAT: REASON".
#pragma once

#include <string>
#include <string_view>

#include "archive/update_archive.h"
#include "ops/entry_problem.h"
#include "ops/selection.h"

namespace kp {

// `text` as the shell would take it back: as it is, or in single quotes when it is
// empty, starts with '-' or holds a blank, a quote or a character the shell reads
// itself.
std::string shell_quoted(std::string_view text);

// `text` in quotes, as the shell would take it back: shell_quoted, with quotes also
// where it needs none.
std::string quoted(std::string_view text);

// What a selector that picks nothing is told, with what was asked for `shown` as the
// line shows it: "no file named NAME in archive", and so for a pattern, an index number
// and a position.
enum class Unmatched : unsigned char { name, pattern, index, position };
std::string unmatched_reason(Unmatched what, std::string_view shown);

// The same on standard error, for a pattern or a name given after FILE, as tar says it:
// "no file matches PATTERN".
std::string no_match_reason(std::string_view shown);

// Why the update file was not loaded; empty when there is nothing to say.
std::string load_reason(const LoadProblem& problem, std::string_view file);

// Why an entry was not written. With `padded` its chunk counts, not its own bytes.
std::string entry_reason(const EntryProblem& problem, bool padded);

}  // namespace kp
