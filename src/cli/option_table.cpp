#include "cli/option_table.h"

#include <cstdlib>
#include <cstring>

#include "ops/pattern.h"
#include "ops/suggest.h"

namespace kp {

namespace {

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

// FILE named by -f, as tar names it: every word after the options is then a name.
bool set_file(Options& options, const char* value) {
    options.file_named = value;
    return true;
}

// A compression option, which tar takes and an update file never needs: the program that
// undoes it is remembered, for the refusal that says so.
template <const char* const* decompressor>
bool refuse_compression(Options& options, const char*) {
    options.decompressor = *decompressor;
    return true;
}
constexpr const char* zcat = "zcat";
constexpr const char* bzcat = "bzcat";
constexpr const char* xzcat = "xzcat";
constexpr const char* zstdcat = "zstdcat";
constexpr const char* lzip = "lzip -dc";
constexpr const char* lzop = "lzop -dc";

template <Existing existing>
bool set_existing(Options& options, const char*) {
    options.existing = existing;
    options.existing_given = true;
    return true;
}

constexpr const char* when_values = "always, never or auto";
constexpr const char* index_values = "a whole number from -2147483648 to 4294967295";
constexpr const char* position_values = "a whole number from 0 to 4294967295";
constexpr const char* strip_values = "a whole number from 0 to 4294967295";
constexpr const char* pattern_values = "a pattern of at most 4096 bytes";

constexpr OptionForm forms[] = {
    {'x', "extract", Takes::nothing, set<&Options::extract>},
    {'f', "file", Takes::value, set_file},
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
    {0, "filler", Takes::value, set_text<&Options::filler, &Options::filler_given>},
    {'z', "gzip", Takes::nothing, refuse_compression<&zcat>},
    {0, "gunzip", Takes::nothing, refuse_compression<&zcat>},
    {0, "ungzip", Takes::nothing, refuse_compression<&zcat>},
    {'j', "bzip2", Takes::nothing, refuse_compression<&bzcat>},
    {'J', "xz", Takes::nothing, refuse_compression<&xzcat>},
    {0, "lzma", Takes::nothing, refuse_compression<&xzcat>},
    {0, "zstd", Takes::nothing, refuse_compression<&zstdcat>},
    {0, "lzip", Takes::nothing, refuse_compression<&lzip>},
    {0, "lzop", Takes::nothing, refuse_compression<&lzop>},
    {'Z', "compress", Takes::nothing, refuse_compression<&zcat>},
    {0, "uncompress", Takes::nothing, refuse_compression<&zcat>},
    {'h', "help", Takes::nothing, set<&Options::help>},
    {'V', "version", Takes::nothing, set<&Options::version>},
};

}  // namespace

bool is_whole_number(const char* text) {
    const char* digits = text + (*text == '-' || *text == '+' ? 1 : 0);
    return *digits != '\0' && std::strspn(digits, "0123456789") == std::strlen(digits);
}

// A value as a refusal shows it: at most its first 40 bytes.
std::string shown_value(const char* value) {
    const std::string_view text = value;
    return text.size() <= 40 ? std::string(text) : std::string(text.substr(0, 40)) + "...";
}

std::span<const OptionForm> option_forms() {
    return forms;
}

const OptionForm* find_long(std::string_view name, std::string& problem) {
    for (const OptionForm& form : forms) {
        if (name == form.name) return &form;
    }
    const OptionForm* found = nullptr;
    std::size_t matches = 0;
    std::string candidates;
    for (const OptionForm& form : forms) {
        if (name.empty() || !std::string_view(form.name).starts_with(name)) continue;
        found = &form;
        ++matches;
        candidates += std::string(" '--") + form.name + "'";
    }
    if (matches == 1) return found;
    // A start of --version stays --version, as it was before --version-text: of options
    // whose names each begin with the one before, the shortest is meant.
    const OptionForm* shortest = nullptr;
    for (const OptionForm& form : forms) {
        if (name.empty() || !std::string_view(form.name).starts_with(name)) continue;
        if (shortest == nullptr || std::string_view(shortest->name).starts_with(form.name)) shortest = &form;
    }
    bool nested = shortest != nullptr;
    for (const OptionForm& form : forms) {
        if (!name.empty() && std::string_view(form.name).starts_with(name)) {
            nested = nested && std::string_view(form.name).starts_with(shortest->name);
        }
    }
    if (nested) return shortest;
    if (matches != 0) {
        problem = std::string("option '--").append(name) + "' is ambiguous; possibilities:" + candidates;
        return nullptr;
    }
    std::vector<std::string_view> names;
    for (const OptionForm& form : forms) names.emplace_back(form.name);
    const std::string_view meant = nearest(name, names);
    problem = meant.empty() ? std::string("unknown option '--").append(name) + "'"
                            : std::string("unrecognized option '--").append(name) + "'; did you mean '--" +
                                  std::string(meant) + "'?";
    return nullptr;
}

const OptionForm* find_short(char letter) {
    for (const OptionForm& form : forms) {
        if (form.letter != 0 && form.letter == letter) return &form;
    }
    return nullptr;
}

}  // namespace kp
