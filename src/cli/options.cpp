#include "cli/options.h"

#include <cstring>
#include <string_view>

#include "archive/file_path.h"

namespace kp {

namespace {

// A value: none, one (after '=' or as the next argument), or one only after '='.
enum class Takes : unsigned char { nothing, value, optional };

// What an option does with its value; false when the value is not one it takes.
using Apply = bool (*)(Options& options, const char* value);

template <bool Options::*flag>
bool set(Options& options, const char*) {
    options.*flag = true;
    return true;
}

// A WHEN value: always, never or auto (also when there is none); false for anything else.
template <typename When, When Options::*when>
bool read_when(Options& options, const char* value) {
    const std::string_view text = value == nullptr ? "auto" : value;
    if (text == "auto") {
        options.*when = When::automatic;
    } else if (text == "always") {
        options.*when = When::always;
    } else if (text == "never") {
        options.*when = When::never;
    } else {
        return false;
    }
    return true;
}

template <typename When, When Options::*when>
bool set_never(Options& options, const char*) {
    options.*when = When::never;
    return true;
}

template <Existing existing>
bool set_existing(Options& options, const char*) {
    options.existing = existing;
    options.existing_given = true;
    return true;
}

struct OptionForm {
    char letter;  // 0: long form only
    const char* name;
    Takes takes;
    Apply apply;
};

constexpr OptionForm option_forms[] = {
    {'a', "all", Takes::nothing, set<&Options::all>},
    {'n', "name", Takes::value,
     [](Options& options, const char* value) {
         options.names.emplace_back(value);
         return true;
     }},
    {'I', "include", Takes::value,
     [](Options& options, const char* value) {
         options.patterns.emplace_back(value);
         return true;
     }},
    {'C', "directory", Takes::value,
     [](Options& options, const char* value) {
         options.directory = value;
         options.directory_given = true;
         return true;
     }},
    {'O', "stdout", Takes::nothing, set<&Options::to_stdout>},
    {0, "trim", Takes::nothing, set<&Options::trim>},
    {'k', "keep-old-files", Takes::nothing, set_existing<Existing::keep>},
    {0, "skip-old-files", Takes::nothing, set_existing<Existing::skip>},
    {'q', "quiet", Takes::nothing, set<&Options::quiet>},
    {'t', "test", Takes::nothing, set<&Options::test>},
    {0, "json", Takes::nothing, set<&Options::json>},
    {0, "color", Takes::optional, read_when<ColourWhen, &Options::colour>},
    {0, "no-color", Takes::nothing, set_never<ColourWhen, &Options::colour>},
    {0, "progress", Takes::optional, read_when<ProgressWhen, &Options::progress>},
    {0, "no-progress", Takes::nothing, set_never<ProgressWhen, &Options::progress>},
    {'h', "help", Takes::nothing, set<&Options::help>},
    {'V', "version", Takes::nothing, set<&Options::version>},
};

const OptionForm* find_long(std::string_view name) {
    for (const OptionForm& form : option_forms) {
        if (name == form.name) return &form;
    }
    return nullptr;
}

const OptionForm* find_short(char letter) {
    for (const OptionForm& form : option_forms) {
        if (form.letter != 0 && form.letter == letter) return &form;
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
            const OptionForm* form = find_long(text.substr(0, equals));
            if (form == nullptr) return std::string("unknown option '--").append(text.substr(0, equals)) + "'";
            const std::string shown = std::string("'--") + form->name + "'";
            const char* value = nullptr;
            if (form->takes == Takes::nothing) {
                if (equals != std::string_view::npos) return std::string("option ") + shown + " takes no value";
            } else if (equals != std::string_view::npos) {
                value = arg + 2 + equals + 1;
            } else if (form->takes == Takes::value && at < argc) {
                value = argv[at++];
            } else if (form->takes == Takes::value) {
                return std::string("option ") + shown + " needs a value";
            }
            if (!form->apply(options, value)) {
                return std::string("option ") + shown + " takes always, never or auto, not '" + value + "'";
            }
        } else {
            for (const char* letter = arg + 1; *letter != '\0'; ++letter) {
                const OptionForm* form = find_short(*letter);
                if (form == nullptr) return std::string("unknown option '-") + *letter + "'";
                const char* value = nullptr;
                if (form->takes == Takes::value) {
                    // The rest of this argument is the value, or else the next argument.
                    if (letter[1] != '\0') {
                        value = letter + 1;
                    } else if (at < argc) {
                        value = argv[at++];
                    } else {
                        return std::string("option '-") + *letter + "' needs a value";
                    }
                }
                form->apply(options, value);  // short options take no WHEN
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
        if (options.existing_given) {
            return std::string("'--") + (options.existing == Existing::keep ? "keep" : "skip") +
                   "-old-files' needs something to extract: INDEX, '--name', '--include' or '--all'";
        }
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
           "  -k, --keep-old-files  fail an entry whose file exists, keeping that file\n"
           "      --skip-old-files  skip an entry whose file exists, keeping that file\n"
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
