#include "cli/options.h"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

#include "fs/file_path.h"
#include "ops/pattern.h"

namespace kp {

namespace {

// A value: none, one (after '=' or as the next argument), or one only after '='.
enum class Takes : unsigned char { nothing, value, optional };

// What an option does with its value; false when the value is not one it takes.
using Apply = bool (*)(Options& options, const char* value);

// Whether `text` is a whole decimal number with an optional sign: "12", "-1", "+3".
bool is_whole_number(const char* text) {
    const char* digits = text + (*text == '-' || *text == '+' ? 1 : 0);
    return *digits != '\0' && std::strspn(digits, "0123456789") == std::strlen(digits);
}

// Whether the word after FILE is INDEX: a whole number, after blanks that atoi skips.
bool is_index_word(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    return is_whole_number(text);
}

// A whole decimal number with an optional sign, within [low, high]; false otherwise.
bool read_number(const char* text, long long low, long long high, long long& value) {
    if (!is_whole_number(text) || std::strlen(text) > 13) return false;
    value = std::strtoll(text, nullptr, 10);
    return value >= low && value <= high;
}

// --index: 0 to 4294967295, as JSON prints them, or the same bits as a negative 32-bit
// number, as the listing prints them.
bool add_index(Options& options, const char* value) {
    long long number = 0;
    if (!read_number(value, -2147483648LL, 4294967295LL, number)) return false;
    options.indexes.emplace_back(static_cast<u32>(number), value);
    return true;
}

bool add_position(Options& options, const char* value) {
    long long number = 0;
    if (!read_number(value, 0, 4294967295LL, number)) return false;
    options.positions.emplace_back(static_cast<u32>(number), value);
    return true;
}

bool set_strip(Options& options, const char* value) {
    long long number = 0;
    if (!read_number(value, 0, 4294967295LL, number)) return false;
    options.strip = static_cast<u32>(number);
    options.strip_given = true;
    return true;
}

template <bool Options::*flag>
bool set(Options& options, const char*) {
    options.*flag = true;
    return true;
}

// A WHEN value: always, never or auto (also when there is none); false for anything else.
// A text option given once: the last one holds, and that it was given at all (an empty
// text is a text).
template <std::string Options::*text, bool Options::*given>
bool set_text(Options& options, const char* value) {
    options.*text = value;
    options.*given = true;
    return true;
}

template <std::vector<std::string> Options::*texts>
bool add_text(Options& options, const char* value) {
    (options.*texts).emplace_back(value);
    return true;
}

// A pattern, compiled once for the run: one far longer than any name is refused before
// it costs anything.
template <std::vector<std::string> Options::*patterns>
bool add_pattern(Options& options, const char* value) {
    return std::strlen(value) <= longest_pattern && add_text<patterns>(options, value);
}

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
    const char* values = nullptr;  // what a value it refuses should have been
};

constexpr const char* when_values = "always, never or auto";
constexpr const char* index_values = "a whole number from -2147483648 to 4294967295";
constexpr const char* position_values = "a whole number from 0 to 4294967295";
constexpr const char* strip_values = "a whole number from 0 to 4294967295";
constexpr const char* pattern_values = "a pattern of at most 4096 bytes";

// A value as a refusal shows it: at most its first 40 bytes.
std::string shown_value(const char* value) {
    const std::string_view text = value;
    return text.size() <= 40 ? std::string(text) : std::string(text.substr(0, 40)) + "...";
}

constexpr OptionForm option_forms[] = {
    {'a', "all", Takes::nothing, set<&Options::all>},
    {'n', "name", Takes::value, add_text<&Options::names>},
    {'I', "include", Takes::value, add_pattern<&Options::patterns>, pattern_values},
    {0, "exclude", Takes::value, add_pattern<&Options::excludes>, pattern_values},
    {0, "strip-components", Takes::value, set_strip, strip_values},
    {'T', "files-from", Takes::value, add_text<&Options::files_from>},
    {'C', "directory", Takes::value, set_text<&Options::directory, &Options::directory_given>},
    {'O', "stdout", Takes::nothing, set<&Options::to_stdout>},
    {0, "diff", Takes::value, set_text<&Options::diff, &Options::diff_given>},
    {0, "trim", Takes::nothing, set<&Options::trim>},
    {0, "padded", Takes::nothing, set<&Options::padded>},
    {'k', "keep-old-files", Takes::nothing, set_existing<Existing::keep>},
    {0, "skip-old-files", Takes::nothing, set_existing<Existing::skip>},
    {'q', "quiet", Takes::nothing, set<&Options::quiet>},
    {'t', "test", Takes::nothing, set<&Options::test>},
    {0, "json", Takes::nothing, set<&Options::json>},
    {0, "index", Takes::value, add_index, index_values},
    {'p', "position", Takes::value, add_position, position_values},
    {'l', "list", Takes::nothing, set<&Options::list>},
    {0, "sha256", Takes::nothing, set<&Options::sha256>},
    {'v', "verbose", Takes::nothing, set<&Options::verbose>},
    {0, "null", Takes::nothing, set<&Options::null>},
    {0, "color", Takes::optional, read_when<ColourWhen, &Options::colour>, when_values},
    {0, "no-color", Takes::nothing, set_never<ColourWhen, &Options::colour>},
    {0, "progress", Takes::optional, read_when<ProgressWhen, &Options::progress>, when_values},
    {0, "no-progress", Takes::nothing, set_never<ProgressWhen, &Options::progress>},
    {'c', "create", Takes::nothing, set<&Options::create>},
    {0, "manifest", Takes::value, set_text<&Options::manifest, &Options::manifest_given>},
    {0, "version-text", Takes::value, set_text<&Options::version_text, &Options::version_text_given>},
    {'h', "help", Takes::nothing, set<&Options::help>},
    {'V', "version", Takes::nothing, set<&Options::version>},
};

// The long option that `name` names: exactly, or as the start of only one; null with
// `problem` set when none or several do.
const OptionForm* find_long(std::string_view name, std::string& problem) {
    for (const OptionForm& form : option_forms) {
        if (name == form.name) return &form;
    }
    const OptionForm* found = nullptr;
    std::size_t matches = 0;
    std::string candidates;
    for (const OptionForm& form : option_forms) {
        if (name.empty() || !std::string_view(form.name).starts_with(name)) continue;
        found = &form;
        ++matches;
        candidates += std::string(" '--") + form.name + "'";
    }
    if (matches == 1) return found;
    // A start of --version stays --version, as it was before --version-text: of options
    // whose names each begin with the one before, the shortest is meant.
    const OptionForm* shortest = nullptr;
    for (const OptionForm& form : option_forms) {
        if (name.empty() || !std::string_view(form.name).starts_with(name)) continue;
        if (shortest == nullptr || std::string_view(shortest->name).starts_with(form.name)) shortest = &form;
    }
    bool nested = shortest != nullptr;
    for (const OptionForm& form : option_forms) {
        if (!name.empty() && std::string_view(form.name).starts_with(name)) {
            nested = nested && std::string_view(form.name).starts_with(shortest->name);
        }
    }
    if (nested) return shortest;
    problem = matches == 0 ? std::string("unknown option '--").append(name) + "'"
                           : std::string("option '--").append(name) + "' is ambiguous; possibilities:" + candidates;
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
    std::vector<const char*> operands;  // FILE, INDEX, then what is ignored
    bool options_ended = false;
    int at = 1;
    while (at < argc) {
        const char* arg = argv[at++];
        // Options may come anywhere before "--", as GNU getopt permutes them; a lone "-" is
        // a file name, and after FILE a whole number, negative ones too, is INDEX.
        if (options_ended || arg[0] != '-' || arg[1] == '\0' || (!operands.empty() && is_whole_number(arg))) {
            operands.push_back(arg);
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            options_ended = true;
            continue;
        }
        if (arg[1] == '-') {
            const std::string_view text = arg + 2;
            const std::size_t equals = text.find('=');
            std::string problem;
            const OptionForm* form = find_long(text.substr(0, equals), problem);
            if (form == nullptr) return problem;
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
                return std::string("option ") + shown + " takes " + form->values + ", not '" + shown_value(value) + "'";
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
                if (!form->apply(options, value)) {
                    return std::string("option '-") + *letter + "' takes " + form->values + ", not '" +
                           shown_value(value) + "'";
                }
                if (value != nullptr) break;
            }
        }
        if (options.help || options.version) return {};
    }
    if (!operands.empty()) options.file = operands[0];
    if (options.create) {  // NEW, then what goes into it
        if (operands.size() > 1) options.paths.assign(operands.begin() + 1, operands.end());
        return {};
    }
    if (operands.size() < 2) return {};
    // A whole number after FILE is INDEX, as it always was; any other word a name.
    if (is_index_word(operands[1])) {
        options.index = operands[1];
        options.ignored = static_cast<int>(operands.size() - 2);
    } else {
        options.members.assign(operands.begin() + 1, operands.end());
    }
    return {};
}

bool asks_for_json(int argc, char** argv) {
    for (int at = 1; at < argc; ++at) {
        const std::string_view arg = argv[at];
        if (arg == "--") break;
        if (!arg.starts_with("--")) continue;
        const std::string_view name =
            arg.substr(2, arg.find('=') == std::string_view::npos ? arg.npos : arg.find('=') - 2);
        if (!name.empty() && std::string_view("json").starts_with(name)) return true;
    }
    return false;
}

i32 parse_index(const char* text) {
    constexpr long long low = -2147483648LL;
    constexpr long long high = 2147483647LL;
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > high + 1) value = high + 1;  // past either limit: stop growing
    }
    value = negative ? -value : value;
    return static_cast<i32>(value < low ? low : value > high ? high : value);
}

std::vector<std::string> argument_warnings(const Options& options) {
    std::vector<std::string> warnings;
    if (options.ignored > 0) {
        warnings.push_back("warning: ignoring " + std::to_string(options.ignored) +
                           (options.ignored == 1 ? " argument" : " arguments") + " after INDEX");
    }
    return warnings;
}

bool selects_entries(const Options& options) {
    return options.index != nullptr || options.all || !options.names.empty() || !options.members.empty() ||
           !options.patterns.empty() || !options.indexes.empty() || !options.positions.empty();
}

bool original_form(const Options& options) {
    return options.index != nullptr && !options.all && options.names.empty() && options.members.empty() &&
           options.patterns.empty() && options.indexes.empty() && options.positions.empty() && !options.to_stdout;
}

bool writes_padded(const Options& options) {
    return options.padded || (!options.trim && original_form(options));
}

OptionsProblem check_options(const Options& options) {
    if (options.to_stdout && options.directory_given) return {"'--stdout' and '--directory' cannot go together", {}};
    if (options.trim && options.padded) return {"'--trim' and '--padded' cannot go together", {}};
    if (options.to_stdout && options.json) return {"'--stdout' and '--json' cannot go together", {}};
    if (options.list && options.to_stdout) return {"'--list' and '--stdout' cannot go together", {}};
    for (const auto& [given, name] :
         {std::pair{options.to_stdout, "'--stdout'"}, std::pair{options.directory_given, "'--directory'"},
          std::pair{options.list, "'--list'"}}) {
        if (options.diff_given && given) return {std::string("'--diff' and ") + name + " cannot go together", {}};
    }
    if (options.list && options.directory_given) return {"'--list' and '--directory' cannot go together", {}};
    for (const auto& [given, name] :
         {std::pair{options.list, "'--list'"}, std::pair{options.to_stdout, "'--stdout'"},
          std::pair{options.directory_given, "'--directory'"}, std::pair{options.diff_given, "'--diff'"},
          std::pair{options.padded, "'--padded'"}}) {
        if (options.sha256 && given) return {std::string("'--sha256' and ") + name + " cannot go together", {}};
    }
    if (!selects_entries(options) && !options.list && !options.diff_given && !options.sha256) {
        constexpr const char* needs = " needs something to extract: INDEX, '--name', '--include' or '--all'";
        if (options.to_stdout) return {std::string("'--stdout'") + needs, {}};
        if (options.directory_given) return {std::string("'--directory'") + needs, {}};
        if (options.trim) return {std::string("'--trim'") + needs, {}};
        if (options.padded) return {std::string("'--padded'") + needs, {}};
        if (options.strip_given) return {std::string("'--strip-components'") + needs, {}};
        if (options.existing_given) {
            return {std::string("'--") + (options.existing == Existing::keep ? "keep" : "skip") + "-old-files'" + needs,
                    {}};
        }
    }
    return check_directory(options);
}

OptionsProblem check_directory(const Options& options) {
    if (options.directory_given) {
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(file_path(options.directory), error);
        if (options.directory.empty() || !std::filesystem::is_directory(status)) {
            std::string reason = error ? error.message() : std::make_error_code(std::errc::not_a_directory).message();
            if (options.directory.empty())
                reason = std::make_error_code(std::errc::no_such_file_or_directory).message();
            return {std::string("no directory '") + options.directory + "'", reason};
        }
    }
    return {};
}

}  // namespace kp
