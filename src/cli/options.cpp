#include "cli/options.h"

#include <cstring>
#include <string_view>

#include "archive/file_path.h"

namespace kp {

namespace {

// A value: none, one (after '=' or as the next argument), or one only after '='.
enum class Takes : unsigned char { nothing, value, optional };
enum class Option : unsigned char {
    all,
    name,
    include,
    directory,
    to_stdout,
    trim,
    quiet,
    test,
    json,
    colour,
    no_colour,
    progress,
    no_progress,
    help,
    version,
};

struct OptionSpec {
    Option option;
    char letter;  // 0: long form only
    const char* name;
    Takes takes;
};

constexpr OptionSpec option_specs[] = {
    {Option::all, 'a', "all", Takes::nothing},
    {Option::name, 'n', "name", Takes::value},
    {Option::directory, 'C', "directory", Takes::value},
    {Option::to_stdout, 'O', "stdout", Takes::nothing},
    {Option::trim, 0, "trim", Takes::nothing},
    {Option::quiet, 'q', "quiet", Takes::nothing},
    {Option::test, 't', "test", Takes::nothing},
    {Option::json, 0, "json", Takes::nothing},
    {Option::help, 'h', "help", Takes::nothing},
    {Option::version, 'V', "version", Takes::nothing},
    {Option::include, 'I', "include", Takes::value},
    {Option::colour, 0, "color", Takes::optional},
    {Option::no_colour, 0, "no-color", Takes::nothing},
    {Option::progress, 0, "progress", Takes::optional},
    {Option::no_progress, 0, "no-progress", Takes::nothing},
};

// A WHEN value: always, never or auto (also when there is none); false for anything else.
template <typename When>
bool read_when(const char* value, When& when) {
    const std::string_view text = value == nullptr ? "auto" : value;
    if (text == "auto") {
        when = When::automatic;
    } else if (text == "always") {
        when = When::always;
    } else if (text == "never") {
        when = When::never;
    } else {
        return false;
    }
    return true;
}

// Records the option; false when its value is not one it takes.
bool apply(Options& options, const OptionSpec& spec, const char* value) {
    switch (spec.option) {
        case Option::all:
            options.all = true;
            break;
        case Option::name:
            options.names.emplace_back(value);
            break;
        case Option::include:
            options.patterns.emplace_back(value);
            break;
        case Option::directory:
            options.directory = value;
            options.directory_given = true;
            break;
        case Option::to_stdout:
            options.to_stdout = true;
            break;
        case Option::trim:
            options.trim = true;
            break;
        case Option::quiet:
            options.quiet = true;
            break;
        case Option::test:
            options.test = true;
            break;
        case Option::json:
            options.json = true;
            break;
        case Option::colour:
            return read_when(value, options.colour);
        case Option::no_colour:
            options.colour = ColourWhen::never;
            break;
        case Option::progress:
            return read_when(value, options.progress);
        case Option::no_progress:
            options.progress = ProgressWhen::never;
            break;
        case Option::help:
            options.help = true;
            break;
        case Option::version:
            options.version = true;
            break;
    }
    return true;
}

const OptionSpec* find_long(std::string_view name) {
    for (const OptionSpec& spec : option_specs) {
        if (name == spec.name) return &spec;
    }
    return nullptr;
}

const OptionSpec* find_short(char letter) {
    for (const OptionSpec& spec : option_specs) {
        if (spec.letter != 0 && spec.letter == letter) return &spec;
    }
    return nullptr;
}

}  // namespace

std::string parse_options(Options& options, int argc, char** argv) {
    int at = 1;
    while (at < argc) {
        const char* arg = argv[at];
        if (arg[0] != '-' || arg[1] == '\0') break;  // FILE; a lone "-" is a file name too
        ++at;
        if (std::strcmp(arg, "--") == 0) break;
        if (arg[1] == '-') {
            const std::string_view text = arg + 2;
            const std::size_t equals = text.find('=');
            const OptionSpec* spec = find_long(text.substr(0, equals));
            if (spec == nullptr) return std::string("unknown option '--").append(text.substr(0, equals)) + "'";
            const std::string shown = std::string("'--") + spec->name + "'";
            const char* value = nullptr;
            if (spec->takes == Takes::nothing) {
                if (equals != std::string_view::npos) return std::string("option ") + shown + " takes no value";
            } else if (equals != std::string_view::npos) {
                value = arg + 2 + equals + 1;
            } else if (spec->takes == Takes::value && at < argc) {
                value = argv[at++];
            } else if (spec->takes == Takes::value) {
                return std::string("option ") + shown + " needs a value";
            }
            if (!apply(options, *spec, value)) {
                return std::string("option ") + shown + " takes always, never or auto, not '" + value + "'";
            }
        } else {
            for (const char* letter = arg + 1; *letter != '\0'; ++letter) {
                const OptionSpec* spec = find_short(*letter);
                if (spec == nullptr) return std::string("unknown option '-") + *letter + "'";
                const char* value = nullptr;
                if (spec->takes == Takes::value) {
                    // The rest of this argument is the value, or else the next argument.
                    if (letter[1] != '\0') {
                        value = letter + 1;
                    } else if (at < argc) {
                        value = argv[at++];
                    } else {
                        return std::string("option '-") + *letter + "' needs a value";
                    }
                }
                apply(options, *spec, value);  // short options take no WHEN
                if (value != nullptr) break;
            }
        }
        if (options.help || options.version) return {};
    }
    if (at < argc) options.file = argv[at++];
    if (at < argc) options.index = argv[at];
    return {};
}

bool selects_entries(const Options& options) {
    return options.index != nullptr || options.all || !options.names.empty() || !options.patterns.empty();
}

std::string check_options(const Options& options) {
    if (options.to_stdout && options.directory_given) return "'--stdout' and '--directory' cannot go together";
    if (options.to_stdout && options.json) return "'--stdout' and '--json' cannot go together";
    if (!selects_entries(options)) {
        if (options.to_stdout) return "'--stdout' needs something to extract: INDEX, '--name', '--include' or '--all'";
        if (options.directory_given)
            return "'--directory' needs something to extract: INDEX, '--name', '--include' or '--all'";
        if (options.trim) return "'--trim' needs something to extract: INDEX, '--name', '--include' or '--all'";
    }
    if (options.directory_given) {
        std::error_code error;
        if (options.directory.empty() || !std::filesystem::is_directory(file_path(options.directory), error)) {
            return std::string("no directory '") + options.directory + "'";
        }
    }
    return {};
}

const char* usage_text() {
    return "Usage: kpupdate [OPTION]... FILE [INDEX]\n"
           "Check a Kelvo/Pardo firmware update file, list the files it holds, and\n"
           "extract them; with INDEX, the file carrying that index number.\n"
           "\n"
           "  -a, --all             extract every file, in directory order\n"
           "  -n, --name=NAME       extract the file named NAME; may be repeated\n"
           "  -I, --include=PATTERN extract every file whose name matches PATTERN\n"
           "  -C, --directory=DIR   write extracted files under DIR, which must exist\n"
           "  -O, --stdout          write the files to standard output, messages to stderr\n"
           "      --trim            write each file's own size, not its 512-byte chunk\n"
           "  -q, --quiet           no banner and no reports: warnings and errors only\n"
           "  -t, --test            also check that every chunk is in the file, and names\n"
           "      --json            print one JSON document instead of the reports\n"
           "      --color[=WHEN]    colour the reports: always, never or auto (default)\n"
           "      --no-color        the same as --color=never\n"
           "      --progress[=WHEN] progress on stderr when extracting: always, never, auto\n"
           "      --no-progress     the same as --progress=never\n"
           "  -h, --help            print this help and exit\n"
           "  -V, --version         print the version and exit\n"
           "\n"
           "Exit status: 0 on success; 255 on a usage error, when FILE cannot be opened\n"
           "or a file cannot be extracted; 254 when FILE is not a valid update file or\n"
           "--test finds it damaged.\n";
}

}  // namespace kp
