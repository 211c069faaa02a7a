// Which entry names may become paths under the target directory, and how they split.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <cstdint>
#include "fs/file_path.h"
#include "ops/entry_problem.h"

namespace kp {

// Whether an entry name may be used as a path under the target directory: not empty,
// not absolute, no drive or stream colon, no control byte or DEL, no ".." part, not
// ending in a separator or ".". Under Windows rules also no part that names a device
// and no part that ends in a dot or a space.
bool is_safe_entry_name(std::string_view name, NameRules rules = native_name_rules());

// The first rule of is_safe_entry_name that `name` breaks, none when it is safe; for the
// rules about one part, that part in `part`.
NameFault name_fault(std::string_view name, NameRules rules, std::string* part = nullptr);

// Whether extraction refuses to write a file for `name`, as it is once stripped: the
// rule it breaks then in `problem`.
bool name_refused(std::string_view name, EntryProblem& problem);

// The parts of `name` that name something (not empty, not "."), joined by '/': where a
// safe name's file lies under the target, as one text.
std::string joined_parts(std::string_view name, NameRules rules);

// What is left of `name` once its first `count` parts that name something (not empty,
// not ".") are dropped, as it is spelled: "a//b/c" without 1 is "b/c". Empty when nothing
// is left.
std::string_view stripped_name(std::string_view name, u32 count, NameRules rules);

// Whether a path component names a Windows device (CON, NUL, COM1, LPT1, COM¹, ...),
// with or without an extension, in any case.
bool is_reserved_device_name(std::string_view component);

// Whether `c` separates the parts of a name: '/' everywhere, and '\' under Windows
// rules. Names with either count as unsafe when a part is "..", whatever the rules.
bool is_name_separator(char c, NameRules rules);

// The parts of a name between its separators, in order: empty ones and "." among them,
// which most readers skip; "" is one empty part, and "a/" ends in one.
struct NameParts {
    std::string_view name;
    NameRules rules = NameRules::posix;
    std::size_t start = 0;
};

struct NamePart {
    std::string_view text;
    std::size_t end = 0;  // where it ends in the name: at a separator, or the name's end

    // Whether it names something: not empty, not ".".
    bool names() const { return !text.empty() && text != "."; }
};

// The next part, in `part`; false after the last.
bool next_part(NameParts& parts, NamePart& part);

// The file that `name` writes under the target, as one text: the parts that name
// something (not empty, not "."), joined by '/', and under Windows rules with ASCII
// letters in lower case, as that file system compares them. Two entries with one key
// write one file. A name that extraction refuses is its own key.
std::string name_key(std::string_view name, NameRules rules);

// The same key as a view: of `name` itself where the name is its own key (the usual
// case, which costs no copy), or else of `storage`, which then holds the key.
std::string_view name_key(std::string_view name, NameRules rules, std::string& storage);

// name_key's view for a name already found safe (name_fault found nothing), which is not
// looked at for that again.
std::string_view safe_name_key(std::string_view name, NameRules rules, std::string& storage);

// Adds to `names` those in the file `list` ("-" standard input): one a line, or with
// `null` each ending in a NUL; an empty one names nothing. False when the file could not
// be read, with why in `system_text`.
bool read_names_from(const std::string& list, bool null, std::vector<std::string>& names, std::string& system_text);

}  // namespace kp
