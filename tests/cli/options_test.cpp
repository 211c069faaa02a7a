#include "cli/options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>
#include <tuple>

#include "archive_builder.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::run_tool;
using test::TempDir;

// The options parsed from `args` (after the program name), shown as one line.
std::string parsed(std::vector<std::string> args) {
    std::vector<char*> argv = {const_cast<char*>("kpupdate")};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    Options options;
    const std::string problem = parse_options(options, static_cast<int>(argv.size()) - 1, argv.data());
    if (!problem.empty()) return "error: " + problem;
    std::string shown;
    if (options.help) shown += "help ";
    if (options.version) shown += "version ";
    if (options.all) shown += "all ";
    if (options.extract) shown += "extract ";
    if (options.to_stdout) shown += "stdout ";
    if (options.trim) shown += "trim ";
    if (options.quiet) shown += "quiet ";
    if (options.list) shown += "list ";
    if (options.verbose) shown += "verbose ";
    for (const auto& [index, text] : options.indexes) shown += "index#" + std::to_string(index) + " ";
    for (const auto& [position, text] : options.positions) shown += "position#" + std::to_string(position) + " ";
    if (options.colour != ColourWhen::automatic) shown += options.colour == ColourWhen::always ? "colour " : "plain ";
    if (options.progress != ProgressWhen::automatic) {
        shown += options.progress == ProgressWhen::always ? "progress " : "no-progress ";
    }
    for (const std::string& pattern : options.patterns) shown += "pattern=" + pattern + " ";
    for (const std::string& name : options.names) shown += "name=" + name + " ";
    if (options.padded) shown += "padded ";
    if (options.directory) shown += "dir=" + *options.directory + " ";
    if (options.create) shown += "create ";
    if (options.manifest) shown += "manifest=" + *options.manifest + " ";
    if (options.version_text) shown += "version-text=" + *options.version_text + " ";
    for (const std::string& path : options.paths) shown += "path=" + path + " ";
    if (options.file != nullptr) shown += "file=" + std::string(options.file) + " ";
    if (options.index != nullptr) shown += "index=" + std::string(options.index);
    for (const std::string& member : options.members) shown += "member=" + member + " ";
    if (options.ignored != 0) shown += " ignored=" + std::to_string(options.ignored);
    return shown;
}

TEST(ParseOptions, ReadsGnuStyleOptionsAnywhereBeforeTheirEnd) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, ""},
        {{"f.update"}, "file=f.update "},
        {{"f.update", "3", "extra", "more"}, "file=f.update index=3 ignored=2"},
        // Options anywhere before "--", as GNU getopt permutes them; a whole number after
        // FILE, negative ones too, is INDEX, and "-" a file name.
        {{"f.update", "-a"}, "all file=f.update "},
        {{"f.update", "3", "-qa", "extra"}, "all quiet file=f.update index=3 ignored=1"},
        {{"f.update", "-C", "out", "-a"}, "all dir=out file=f.update "},
        {{"f.update", "-C", "-1", "2"}, "dir=-1 file=f.update index=2"},
        {{"f.update", "-2147483648"}, "file=f.update index=-2147483648"},
        {{"f.update", "-1", "-v"}, "verbose file=f.update index=-1"},
        {{"f.update", "-", "-lv"}, "list verbose file=f.update member=- "},
        {{"f.update", "--help"}, "help "},
        {{"f.update", "--", "-a", "--json"}, "file=f.update member=-a member=--json "},
        {{"--", "f.update", "-a"}, "file=f.update member=-a "},
        // Any other word after FILE is a name, as tar takes it, and so are all after it.
        {{"f.update", "etc/device.cfg", "boot/k.img", "7", "--padded"},
         "padded file=f.update member=etc/device.cfg member=boot/k.img member=7 "},
        {{"f.update", " 12", "x"}, "file=f.update index= 12 ignored=1"},
        {{"f.update", "12abc"}, "file=f.update member=12abc "},
        {{"f.update", "-12abc"}, "error: unknown option '-1'"},
        {{"f.update", "-n"}, "error: option '-n' needs a value"},
        {{"f.update", "--index", "-1", "-p", "2"}, "index#4294967295 position#2 file=f.update "},
        {{"f.update", "-1"}, "file=f.update index=-1"},
        {{"-qa", "--trim", "f"}, "all trim quiet file=f "},
        {{"-n", "a", "--name=b", "--name", "c", "-nd", "-qn", "e", "f"},
         "quiet name=a name=b name=c name=d name=e file=f "},
        {{"-C", "out", "-Cx", "--directory=y", "f"}, "dir=y file=f "},
        {{"--directory", "-a", "f"}, "dir=-a file=f "},
        {{"-O", "--stdout", "f", "2"}, "stdout file=f index=2"},
        {{"--", "-a", "-q"}, "file=-a member=-q "},
        {{"-", "1"}, "file=- index=1"},
        {{"--name="}, "name= "},
        {{"-h", "--bogus"}, "help "},
        {{"-a", "--version", "-x"}, "version all "},
        // --create takes NEW, then PATHs: every operand after NEW is one, a number too.
        {{"--create", "n.update", "-C", "t", "a", "-1", "b/c", "-v"},
         "verbose dir=t create path=a path=-1 path=b/c file=n.update "},
        {{"-c", "n", "--manifest=-", "--version-t", "v 1"}, "create manifest=- version-text=v 1 file=n "},
        {{"-cv", "n", "--", "-a"}, "verbose create path=-a file=n "},
        // A prefix of two options, one of which begins the other, is the shorter one.
        {{"--vers"}, "version "},
        {{"--version-text"}, "error: option '--version-text' needs a value"},
        // tar's letters: -x extracts, -f names FILE, and every word after it is a name.
        {{"-xvf", "f.update", "-C", "out"}, "extract verbose dir=out file=f.update "},
        {{"-xf", "f.update", "etc/device.cfg", "3"}, "extract file=f.update member=etc/device.cfg member=3 "},
        {{"-x", "f.update", "3"}, "extract file=f.update member=3 "},
        {{"--file=f.update", "-l"}, "list file=f.update "},
        {{"-cf", "n.update", "a", "b"}, "create path=a path=b file=n.update "},
        {{"-y", "f"}, "error: unknown option '-y'"},
        {{"-ay"}, "error: unknown option '-y'"},
        {{"--bogus=1", "-h"}, "error: unknown option '--bogus'"},
        {{"--al", "--dir=out", "--dir", "o2", "--tr", "--js", "f"}, "all trim dir=o2 file=f "},
        {{"--t", "f"}, "error: option '--t' is ambiguous; possibilities: '--trim' '--test'"},
        {{"--s", "f"},
         "error: option '--s' is ambiguous; possibilities: '--strip-components' '--stdout' '--skip-old-files' "
         "'--sha256' '--scan' '--signatures'"},
        {{"--no", "f"}, "error: option '--no' is ambiguous; possibilities: '--no-color' '--no-progress'"},
        {{"--col=never", "--prog=never", "--colour", "f"},
         "error: unrecognized option '--colour'; did you mean '--color'?"},
        // A name that is none names the nearest, two edits away at most.
        {{"--exlude=x", "f"}, "error: unrecognized option '--exlude'; did you mean '--exclude'?"},
        {{"--lsit", "f"}, "error: unrecognized option '--lsit'; did you mean '--list'?"},
        {{"--verbos", "f"}, "verbose file=f "},
        {{"--paded", "f"}, "error: unrecognized option '--paded'; did you mean '--padded'?"},
        {{"--extrcat", "f"}, "error: unrecognized option '--extrcat'; did you mean '--extract'?"},
        {{"--sha265", "f"}, "error: unrecognized option '--sha265'; did you mean '--sha256'?"},
        {{"--exlcdue", "f"}, "error: unrecognized option '--exlcdue'; did you mean '--exclude'?"},  // two swaps
        {{"--frobnicate", "f"}, "error: unknown option '--frobnicate'"},
        {{"--jsonxyz", "f"}, "error: unknown option '--jsonxyz'"},  // three edits from --json
        {{"-z", "f"}, "error: update files are not compressed; to read a compressed one: zcat f | kpupdate -"},
        {{"-tJvf", "f.xz"},
         "error: update files are not compressed; to read a compressed one: xzcat f.xz | kpupdate -"},
        {{"--zstd", "f"}, "error: update files are not compressed; to read a compressed one: zstdcat f | kpupdate -"},
        {{"-j"}, "error: update files are not compressed; to read a compressed one: bzcat FILE | kpupdate -"},
        {{"--index=4294967295", "--index", "-1", "-p", "3", "--pos=0", "-lv", "f"},
         "list verbose index#4294967295 index#4294967295 position#3 position#0 file=f "},
        {{"--index=4294967296", "f"},
         "error: option '--index' takes a whole number from -2147483648 to 4294967295, not '4294967296'"},
        {{"--index=12abc", "f"},
         "error: option '--index' takes a whole number from -2147483648 to 4294967295, not '12abc'"},
        {{"-p", "-1", "f"}, "error: option '-p' takes a whole number from 0 to 4294967295, not '-1'"},
        {{"-n"}, "error: option '-n' needs a value"},
        {{"--directory"}, "error: option '--directory' needs a value"},
        {{"--all=yes", "f"}, "error: option '--all' takes no value"},
        {{"--color", "always"}, "file=always "},  // a WHEN only ever follows '='
        {{"--color=always", "--progress", "f"}, "colour file=f "},
        {{"--color=always", "--no-color", "--progress=always", "f"}, "plain progress file=f "},
        {{"--color=never", "--color=auto", "--no-progress", "f"}, "no-progress file=f "},
        {{"--color=sometimes", "f"}, "error: option '--color' takes always, never or auto, not 'sometimes'"},
        {{"--progress=", "f"}, "error: option '--progress' takes always, never or auto, not ''"},
        {{"-I", "*.bin", "--include=fw/**", "-I**", "f"}, "pattern=*.bin pattern=fw/** pattern=** file=f "},
    };
    for (const auto& [args, expected] : cases) {
        std::string line;
        for (const std::string& arg : args) line += arg + " ";
        EXPECT_EQ(parsed(args), expected) << line;
    }
}

// --json is recorded wherever it is an option, though the arguments fail before it or
// with it, so that the failure is a document; a word that is a value asks for nothing.
TEST(ParseOptions, RecordsJsonThoughTheArgumentsFail) {
    const std::tuple<std::vector<std::string>, bool, bool> cases[] = {
        // arguments, parsed, json
        {{"--json", "f"}, true, true},
        {{"--bogus", "--json", "f"}, false, true},
        {{"--bogus", "--js", "f"}, false, true},
        {{"--jsno", "--j", "f"}, false, true},
        {{"--json=1", "f"}, false, true},
        {{"--json", "--all=yes", "f"}, false, true},
        {{"--index=x", "--json", "f"}, false, true},
        {{"--index", "x", "--json", "f"}, false, true},
        {{"-n", "a", "-yq", "--json"}, false, true},
        {{"-z", "--json", "f"}, false, true},
        {{"--bogus", "f"}, false, false},
        {{"-n", "--json", "f"}, true, false},
        {{"--name=--json", "f"}, true, false},
        {{"--bogus", "-C", "--json", "f"}, false, false},
        {{"--bogus", "--", "--json"}, false, false},
        {{"--", "--json"}, true, false},
        {{"f", "-1", "--jsonx"}, false, false},
    };
    for (auto [args, parses, json] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        std::vector<char*> argv = {const_cast<char*>("kpupdate")};
        for (std::string& arg : args) argv.push_back(arg.data());
        Options options;
        EXPECT_EQ(parse_options(options, static_cast<int>(argv.size()), argv.data()).empty(), parses);
        EXPECT_EQ(options.json, json);
    }
}

// Which selectors count for which question: any at all, any that ends the original
// form, any that picks particular entries.
TEST(SelectsEntries, CountsTheSelectorsEachQuestionAsks) {
    const std::tuple<std::vector<std::string>, bool, bool, bool> cases[] = {
        // arguments, any, besides INDEX, particular
        {{"f"}, false, false, false},
        {{"f", "-l", "-O", "--trim", "-C", "d"}, false, false, false},
        {{"f", "3"}, true, false, true},
        {{"f", "-a"}, true, true, false},
        {{"-x", "f"}, true, true, false},
        {{"f", "3", "-a"}, true, true, true},
        {{"f", "k.img"}, true, true, true},
        {{"f", "-n", "k"}, true, true, true},
        {{"f", "-I", "*"}, true, true, true},
        {{"f", "--index=1"}, true, true, true},
        {{"f", "-p", "0"}, true, true, true},
        {{"f", "--exclude=*"}, false, false, false},  // it takes away, never picks
    };
    for (auto [args, any, besides_index, particular] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        std::vector<char*> argv = {const_cast<char*>("kpupdate")};
        for (std::string& arg : args) argv.push_back(arg.data());
        Options options;
        ASSERT_EQ(parse_options(options, static_cast<int>(argv.size()), argv.data()), "");
        EXPECT_EQ(selects_entries(options), any);
        EXPECT_EQ(selects_entries(options, Selectors::besides_index), besides_index);
        EXPECT_EQ(selects_entries(options, Selectors::particular), particular);
    }
}

TEST(ParseIndex, ReadsLikeAtoiAndClamps) {
    const std::pair<const char*, i32> cases[] = {
        {"3", 3},
        {"  +3", 3},
        {"\t-1", -1},
        {"abc", 0},
        {"12abc", 12},
        {"", 0},
        {"-", 0},
        {"- 1", 0},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"99999999999999999999", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"-99999999999999999999", -2147483647 - 1},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parse_index(text), expected) << '"' << text << '"';
}

// The one table of what cannot go together, read in one order: --create's clashes
// before what it needs, and --trim against --padded in either mode.
TEST(CheckOptions, RefuseTheFirstClashInTheTablesOrder) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-c", "n", "--trim", "--padded", "--manifest=m"}, "'--trim' and '--padded' cannot go together"},
        {{"-c", "--trim", "--padded"}, "'--create' needs NEW, the update file to write"},
        {{"-c", "n", "-a", "-O", "p"}, "'--create' and '--all' cannot go together"},
        {{"-c", "n", "--padded", "p"},
         "'--padded' with '--create' needs '--manifest', which gives each file's own size"},
        {{"f", "1", "--trim", "--padded", "-O", "-C", "d"}, "'--stdout' and '--directory' cannot go together"},
        {{"f", "1", "--trim", "--padded"}, "'--trim' and '--padded' cannot go together"},
        {{"f", "--sha256", "--padded"}, "'--sha256' and '--padded' cannot go together"},
        {{"f", "-C", "d"}, "'--directory' needs something to extract: INDEX, '--name', '--include' or '--all'"},
        {{"f", "-a", "-C", "d"}, ""},
    };
    for (auto [args, expected] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        std::vector<char*> argv = {const_cast<char*>("kpupdate")};
        for (std::string& arg : args) argv.push_back(arg.data());
        Options options;
        ASSERT_EQ(parse_options(options, static_cast<int>(argv.size()), argv.data()), "");
        EXPECT_EQ((asks_to_create(options) ? check_create_options(options) : check_options(options)).usage, expected);
    }
}

}  // namespace
}  // namespace kp
