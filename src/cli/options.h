// The command line: kpupdate [OPTION]... FILE [INDEX], or kpupdate --create [OPTION]... NEW [PATH]...
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/records.h"
#include "console/console.h"
#include "fs/new_files.h"
#include "report/progress.h"

namespace kp {

struct Options {
    bool help = false;
    bool version = false;
    bool all = false;                    // extract every entry
    bool to_stdout = false;              // chunks to standard output, messages to standard error
    bool trim = false;                   // each file's own size (the default but for INDEX alone)
    bool padded = false;                 // each file's whole 512-byte chunk
    bool quiet = false;                  // no banner and no reports
    bool json = false;                   // one JSON document on standard output instead of the reports
    bool test = false;                   // check what the loader does not: the data region, names, repeats
    bool list = false;                   // print the selected entries' rows instead of writing them
    bool sha256 = false;                 // print the selected entries' digests, as sha256sum does
    bool verbose = false;                // a line for each file written
    bool null = false;                   // --list's rows, and the names of --files-from, end in a NUL
    bool extract = false;                // -x: every file, or the names after FILE; never INDEX's reading
    bool scan = false;                   // --scan: list the update files inside FILE, at any offset
    bool carve = false;                  // --carve: write each of them to a file of its own
    bool weak = false;                   // --weak: also what only the loader would accept
    const char* file_named = nullptr;    // -f: FILE, as tar names it; every word after the options a name
    const char* decompressor = nullptr;  // a compression option was given, which this program undoes
    std::optional<std::string> filler;   // --create: an empty file that keeps the count off a multiple of 4
    ColourWhen colour = ColourWhen::automatic;
    ProgressWhen progress = ProgressWhen::automatic;
    std::optional<Existing> existing;  // what extraction does where a file is in the way; none: replace it
    std::vector<std::string> names;
    std::vector<std::string>
        members;  // the words after FILE, when the first is no whole number: names, as tar takes them
    std::vector<std::string> patterns;
    std::vector<std::string> excludes;    // --exclude: no entry whose name matches is picked
    std::optional<u32> strip;             // --strip-components: leading name parts not written
    std::vector<std::string> files_from;  // -T, --files-from: files of names, each a --name; "-" standard input
    std::vector<std::pair<u32, std::string>> indexes;    // --index: the number's bits, and its text
    std::vector<std::pair<u32, std::string>> positions;  // --position: the position, and its text
    std::optional<std::string> diff;                     // --diff: the old side to compare FILE with
    std::optional<std::string> directory;                // where extracted files go; none: the current directory
    std::optional<u64> offset;                // --offset: FILE's update file begins there, and ends where it declares
    bool create = false;                      // --create: write the update file `file` from `paths` or the manifest
    std::vector<std::string> paths;           // --create: what to add, under `directory`
    std::optional<std::string> manifest;      // --manifest: the entries as --json prints them; "-" standard input
    std::optional<std::string> version_text;  // --version-text: the new file's version text
    bool update = false;                      // --update: FILE's entries replaced or added from `paths`
    bool remove = false;                      // --delete: FILE's entries of the names in `paths` removed
    std::optional<std::string> out;           // --out: the changed file's name, FILE left alone
    std::optional<bool> zero_signatures;      // --signatures: zero, or keep, those of replaced entries
    const char* file = nullptr;               // the update file; null when none was given
    const char* index = nullptr;              // the index number's text; null when none was given
    int ignored = 0;                          // arguments after INDEX, which are not read
};

// Reads the arguments after the program name: options (GNU style, anywhere before "--":
// a long option by any unambiguous start of its name), then FILE, then either INDEX, a
// whole number, with anything after it counted and ignored, or the names of the files to
// take, as tar takes them. Returns what is wrong with them, in a few words for a usage
// message; empty when nothing is. The arguments after the first problem are read on
// only for --json, which `json` then says they ask for.
std::string parse_options(Options& options, int argc, char** argv);

struct OptionsProblem {
    std::string usage;   // the problem, for a usage message; empty when there is none
    std::string reason;  // for a directory: what the system says of it
    std::string list;    // a --files-from list that could not be read, with why in `reason`
    bool json = false;   // the arguments ask for a document, though they may not have parsed
};

// A usage problem, with what the system said where there is more to say.
inline OptionsProblem refused(std::string usage, std::string reason = {}) {
    OptionsProblem problem;
    problem.usage = std::move(usage);
    problem.reason = std::move(reason);
    return problem;
}

// What makes no sense in options that parsed: a combination, or an option that needs
// another. Only called when FILE was given.
OptionsProblem check_options(const Options& options);

// The same for options that ask for --create, or that give its own options without it.
OptionsProblem check_create_options(const Options& options);

// Whether the options ask for --create, or give its own options.
bool asks_to_create(const Options& options);

// Whether the options ask for --update or --delete, or give their own options.
bool asks_to_edit(const Options& options);

// What makes no sense with --update or --delete.
OptionsProblem check_edit_options(const Options& options);

// Whether they ask for --scan or --carve, or give --weak.
bool asks_to_scan(const Options& options);

// What makes no sense with --scan or --carve.
OptionsProblem check_scan_options(const Options& options);

// The index number argument with atoi's reading (leading blanks, a sign, digits up to
// the first other character; none gives 0), clamped to the signed 32-bit range.
i32 parse_index(const char* text);

// What the arguments deserve though they are read as they always were: arguments after
// INDEX. One line each, without the program's name.
std::vector<std::string> argument_warnings(const Options& options);

// Which selectors a question about them counts.
enum class Selectors : unsigned char {
    any,            // INDEX, --index, --position, --name (and -T's names), NAMEs, --include, --all, -x
    besides_index,  // every one but INDEX: what takes a run out of the original form
    particular,     // those that pick particular entries: every one but --all and -x
};

// Whether the options give any of the selectors `counted`.
bool selects_entries(const Options& options, Selectors counted = Selectors::any);

// Whether the run is the original form, `kpupdate FILE INDEX`: an INDEX and no other
// selector, written to a directory.
bool original_form(const Options& options);

// Whether extraction writes each file's whole chunk: with --padded, and in the original
// form unless --trim says otherwise. Every other form writes each file's own bytes.
bool writes_padded(const Options& options);

// The usage text for --help.
std::string usage_text();

}  // namespace kp
