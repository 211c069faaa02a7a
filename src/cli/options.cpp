#include "cli/options.h"

#include <cstring>
#include <string_view>

#include "archive/file_path.h"

namespace kp {

namespace {

enum class Takes : unsigned char { nothing, value };
enum class Option : unsigned char { all, name, directory, to_stdout, trim, quiet, test, json, help, version };

struct OptionSpec {
    Option option;
    char letter;  // 0: long form only
    const char* name;
    Takes takes;
};

constexpr OptionSpec option_specs[] = {
    {Option::all, 'a', "all", Takes::nothing},           {Option::name, 'n', "name", Takes::value},
    {Option::directory, 'C', "directory", Takes::value}, {Option::to_stdout, 'O', "stdout", Takes::nothing},
    {Option::trim, 0, "trim", Takes::nothing},           {Option::quiet, 'q', "quiet", Takes::nothing},
    {Option::test, 't', "test", Takes::nothing},         {Option::json, 0, "json", Takes::nothing},
    {Option::help, 'h', "help", Takes::nothing},         {Option::version, 'V', "version", Takes::nothing},
};

void apply(Options& options, const OptionSpec& spec, const char* value) {
    switch (spec.option) {
        case Option::all:
            options.all = true;
            break;
        case Option::name:
            options.names.emplace_back(value);
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
        case Option::help:
            options.help = true;
            break;
        case Option::version:
            options.version = true;
            break;
    }
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
            } else if (at < argc) {
                value = argv[at++];
            } else {
                return std::string("option ") + shown + " needs a value";
            }
            apply(options, *spec, value);
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
                apply(options, *spec, value);
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
    return options.index != nullptr || options.all || !options.names.empty();
}

std::string check_options(const Options& options) {
    if (options.to_stdout && options.directory_given) return "'--stdout' and '--directory' cannot go together";
    if (options.to_stdout && options.json) return "'--stdout' and '--json' cannot go together";
    if (!selects_entries(options)) {
        if (options.to_stdout) return "'--stdout' needs something to extract: INDEX, '--name' or '--all'";
        if (options.directory_given) return "'--directory' needs something to extract: INDEX, '--name' or '--all'";
        if (options.trim) return "'--trim' needs something to extract: INDEX, '--name' or '--all'";
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
           "  -C, --directory=DIR   write extracted files under DIR, which must exist\n"
           "  -O, --stdout          write the files to standard output, messages to stderr\n"
           "      --trim            write each file's own size, not its 512-byte chunk\n"
           "  -q, --quiet           no banner and no reports: warnings and errors only\n"
           "  -t, --test            also check that every chunk is in the file, and names\n"
           "      --json            print one JSON document instead of the reports\n"
           "  -h, --help            print this help and exit\n"
           "  -V, --version         print the version and exit\n"
           "\n"
           "Exit status: 0 on success; 255 on a usage error, when FILE cannot be opened\n"
           "or a file cannot be extracted; 254 when FILE is not a valid update file or\n"
           "--test finds it damaged.\n";
}

}  // namespace kp
