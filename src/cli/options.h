// The command line: kpupdate [OPTION]... FILE [INDEX]
#pragma once

#include <string>
#include <vector>

#include "console/console.h"
#include "extract/files.h"
#include "report/progress.h"

namespace kp {

struct Options {
    bool help = false;
    bool version = false;
    bool all = false;        // extract every entry
    bool to_stdout = false;  // chunks to standard output, messages to standard error
    bool trim = false;       // each file's own size instead of its padded chunk
    bool quiet = false;      // no banner and no reports
    bool json = false;       // one JSON document on standard output instead of the reports
    bool test = false;       // check what the loader does not: the data region, names, repeats
    ColourWhen colour = ColourWhen::automatic;
    ProgressWhen progress = ProgressWhen::automatic;
    Existing existing = Existing::replace;  // what extraction does where a file is in the way
    bool existing_given = false;
    std::vector<std::string> names;
    std::vector<std::string> patterns;
    std::string directory;  // where extracted files go; empty: the current directory
    bool directory_given = false;
    const char* file = nullptr;   // the update file; null when none was given
    const char* index = nullptr;  // the index number's text; null when none was given
};

// Reads the arguments after the program name: options first (GNU style, "--" ends
// them), then FILE, then INDEX; anything after INDEX is ignored. Returns what is wrong
// with them, in a few words for a usage message; empty when nothing is.
std::string parse_options(Options& options, int argc, char** argv);

// What makes no sense in options that parsed (a combination, or a directory that does
// not exist); empty when nothing does. Only called when FILE was given.
std::string check_options(const Options& options);

// Whether the options select anything to extract.
bool selects_entries(const Options& options);

// The usage text for --help.
const char* usage_text();

}  // namespace kp
