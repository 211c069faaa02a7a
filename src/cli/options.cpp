#include "cli/options.h"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "cli/option_table.h"

namespace kp {

namespace {

// Why a compression option is refused, with the command that reads such a FILE.
std::string compression_refusal(const Options& options) {
    const std::string file = options.file == nullptr ? "FILE" : options.file;
    return std::string("update files are not compressed; to read a compressed one: ") + options.decompressor + " " +
           file + " | kpupdate -";
}

// Whether the word after FILE is INDEX: a whole number, after blanks that atoi skips.
bool is_index_word(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    return is_whole_number(text);
}

// Reads the option word `arg` into `options`, with its value, which may be the argument
// at `at` (then passed); returns what is wrong with it, or empty.
std::string read_option(Options& options, const char* arg, int argc, char** argv, int& at) {
    if (arg[1] == '-') {
        const std::string_view text = arg + 2;
        const std::size_t equals = text.find('=');
        std::string problem;
        const OptionForm* form = find_long(text.substr(0, equals), problem);
        if (form == nullptr) return problem;
        // Named, --json asks for its document, also to say that it takes no value.
        if (std::string_view(form->name) == "json") options.json = true;
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
        return {};
    }
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
            return std::string("option '-") + *letter + "' takes " + form->values + ", not '" + shown_value(value) +
                   "'";
        }
        if (value != nullptr) break;
    }
    return {};
}

}  // namespace

std::string parse_options(Options& options, int argc, char** argv) {
    std::vector<const char*> operands;  // FILE, INDEX, then what is ignored
    bool options_ended = false;
    std::string problem;  // the first
    Options rest;         // what the arguments after a problem ask, read only for --json
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
        std::string wrong = read_option(problem.empty() ? options : rest, arg, argc, argv, at);
        if (problem.empty()) problem = std::move(wrong);
        if (problem.empty() && (options.help || options.version)) return {};
    }
    // A usage problem is reported as a document where any argument asks for one.
    if (!problem.empty()) {
        options.json = options.json || rest.json;
        return problem;
    }
    // FILE is -f's, as tar has it, or the first word.
    std::size_t first = 0;
    if (options.file_named != nullptr) {
        options.file = options.file_named;
    } else if (!operands.empty()) {
        options.file = operands[first++];
    }
    if (options.decompressor != nullptr) return compression_refusal(options);
    if (options.create || options.update || options.remove) {  // NEW or FILE, then what goes in or out
        options.paths.assign(operands.begin() + static_cast<std::ptrdiff_t>(first), operands.end());
        return {};
    }
    if (operands.size() <= first) return {};
    // A whole number after FILE is INDEX, as it always was; any other word a name, and
    // with -f or -x every word is.
    if (options.file_named == nullptr && !options.extract && is_index_word(operands[1])) {
        options.index = operands[1];
        options.ignored = static_cast<int>(operands.size() - 2);
    } else {
        options.members.assign(operands.begin() + static_cast<std::ptrdiff_t>(first), operands.end());
    }
    return {};
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

bool selects_entries(const Options& options, Selectors counted) {
    const bool index = options.index != nullptr && counted != Selectors::besides_index;
    const bool every = (options.all || options.extract) && counted != Selectors::particular;
    return index || every || !options.names.empty() || !options.members.empty() || !options.patterns.empty() ||
           !options.indexes.empty() || !options.positions.empty();
}

bool asks_to_create(const Options& options) {
    return options.create || options.manifest || (options.version_text && !asks_to_edit(options));
}

bool asks_to_edit(const Options& options) {
    return options.update || options.remove || options.out || options.zero_signatures;
}

bool original_form(const Options& options) {
    return options.index != nullptr && !selects_entries(options, Selectors::besides_index) && !options.to_stdout;
}

bool writes_padded(const Options& options) {
    return options.padded || (!options.trim && original_form(options));
}

}  // namespace kp
