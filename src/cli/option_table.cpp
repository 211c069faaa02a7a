#include "cli/option_table.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "ops/pattern.h"

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
    return true;
}

// A digit's value in base 10, or with `hex` in base 16; -1 for anything else.
int digit_value(char digit, bool hex) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    const char lower = static_cast<char>(digit | 0x20);
    return hex && lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// --offset: decimal, or hexadecimal after 0x, that fits in 64 bits; no sign, no blank,
// nothing after the digits.
bool set_offset(Options& options, const char* value) {
    const std::string_view text = value;
    const bool hex = text.starts_with("0x") || text.starts_with("0X");
    const std::string_view digits = hex ? text.substr(2) : text;
    const u64 base = hex ? 16 : 10;
    u64 number = 0;
    for (const char digit : digits) {
        const int got = digit_value(digit, hex);
        if (got < 0 || number > (~u64{0} - static_cast<u64>(got)) / base) return false;
        number = number * base + static_cast<u64>(got);
    }
    if (digits.empty()) return false;
    options.offset = number;
    return true;
}

template <bool Options::*flag>
bool set(Options& options, const char*) {
    options.*flag = true;
    return true;
}

// A text option given once: the last one holds, and that it was given at all (an empty
// text is a text).
template <std::optional<std::string> Options::*text>
bool set_text(Options& options, const char* value) {
    options.*text = value;
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

bool set_signatures(Options& options, const char* value) {
    const std::string_view text = value;
    if (text != "keep" && text != "zero") return false;
    options.zero_signatures = text == "zero";
    return true;
}

template <Existing existing>
bool set_existing(Options& options, const char*) {
    options.existing = existing;
    return true;
}

constexpr const char* when_values = "always, never or auto";
constexpr const char* index_values = "a whole number from -2147483648 to 4294967295";
constexpr const char* position_values = "a whole number from 0 to 4294967295";
constexpr const char* strip_values = "a whole number from 0 to 4294967295";
constexpr const char* pattern_values = "a pattern of at most 4096 bytes";
constexpr const char* signatures_values = "keep or zero";
constexpr const char* offset_values = "a whole number from 0 to 18446744073709551615, or 0x and hex digits";

constexpr OptionForm forms[] = {
    {'x', "extract", Takes::nothing, set<&Options::extract>, 0,
     "extract every file, or the names after FILE, as tar\n"
     "does: no reports, and a number is a name too"},
    {'f', "file", Takes::value, set_file, 1, "FILE, as tar names it; every word after it is a name", "FILE"},
    {'a', "all", Takes::nothing, set<&Options::all>, 2, "extract every file, in directory order"},
    {'n', "name", Takes::value, add_text<&Options::names>, 3, "extract the file named NAME; may be repeated", "NAME"},
    {'I', "include", Takes::value, add_pattern<&Options::patterns>, 4, "extract every file whose name matches PATTERN",
     "PATTERN", pattern_values},
    {0, "index", Takes::value, add_index, 18,
     "extract the file carrying index number N (0 to\n"
     "4294967295, or negative as the listing shows it)",
     "N", index_values},
    {'p', "position", Takes::value, add_position, 19, "extract the file at directory position N (from 0)", "N",
     position_values},
    {'T', "files-from", Takes::value, add_text<&Options::files_from>, 7,
     "extract the files named in FILE, one a line (- stdin);\n"
     "with --create, add them; may be repeated",
     "FILE"},
    {0, "exclude", Takes::value, add_pattern<&Options::excludes>, 5,
     "pick no file that PATTERN matches at any depth (any run\n"
     "of whole parts: '*.ko' takes lib/m/x.ko), nor any\n"
     "under a directory it matches; also with --create;\n"
     "repeatable",
     "PATTERN", pattern_values},
    {0, "strip-components", Takes::value, set_strip, 6, "drop N leading parts of each name written", "N", strip_values},
    {'C', "directory", Takes::value, set_text<&Options::directory>, 8,
     "write extracted files under DIR, which must exist", "DIR"},
    {'O', "stdout", Takes::nothing, set<&Options::to_stdout>, 9,
     "write the files to standard output, messages to stderr"},
    {'l', "list", Takes::nothing, set<&Options::list>, 20,
     "list the files selected (every file without a selector)\n"
     "in the listing's rows, and write nothing"},
    {0, "null", Takes::nothing, set<&Options::null>, 23, "--list's rows and --files-from's names end in a NUL"},
    {0, "sha256", Takes::nothing, set<&Options::sha256>, 21,
     "print sha256sum's lines of the files selected (every\n"
     "file without a selector) and write nothing"},
    {'v', "verbose", Takes::nothing, set<&Options::verbose>, 22, "print the path of each file as it is written"},
    {0, "diff", Takes::value, set_text<&Options::diff>, 10,
     "compare FILE with OTHER, an older update file or a\n"
     "directory, and write nothing; status 0 the same,\n"
     "1 different; the selectors restrict it",
     "OTHER"},
    {0, "offset", Takes::value, set_offset, 45,
     "read the update file that begins at byte N of FILE\n"
     "(0x: hexadecimal) in place, and only its bytes; with\n"
     "--diff, of FILE, never of OTHER",
     "N", offset_values},
    {0, "padded", Takes::nothing, set<&Options::padded>, 12,
     "write each file's whole 512-byte chunk; with --diff,\n"
     "compare the chunks; with --create and --manifest,\n"
     "read the files as a padded extraction"},
    {0, "trim", Takes::nothing, set<&Options::trim>, 11, "write each file's own size (the default), INDEX too"},
    {'k', "keep-old-files", Takes::nothing, set_existing<Existing::keep>, 13,
     "fail an entry whose file exists, keeping that file"},
    {0, "skip-old-files", Takes::nothing, set_existing<Existing::skip>, 14,
     "skip an entry whose file exists, keeping that file"},
    {'q', "quiet", Takes::nothing, set<&Options::quiet>, 15, "no banner and no reports: warnings and errors only"},
    {'t', "test", Takes::nothing, set<&Options::test>, 16,
     "also check that every file's bytes lie in FILE, and\n"
     "note what extraction would refuse, skip or meet"},
    {0, "json", Takes::nothing, set<&Options::json>, 17, "print one JSON document instead of the reports"},
    {0, "color", Takes::optional, read_when<ColourWhen, &Options::colour>, 24,
     "colour the reports: always, never or auto (default)", "WHEN", when_values},
    {0, "no-color", Takes::nothing, set_never<ColourWhen, &Options::colour>, 25, "the same as --color=never"},
    {0, "progress", Takes::optional, read_when<ProgressWhen, &Options::progress>, 26,
     "progress on stderr when extracting: always, never, auto", "WHEN", when_values},
    {0, "no-progress", Takes::nothing, set_never<ProgressWhen, &Options::progress>, 27, "the same as --progress=never"},
    {'c', "create", Takes::nothing, set<&Options::create>, 28,
     "write NEW from the regular files under each PATH (under\n"
     "-C DIR), in byte order of their names"},
    {0, "manifest", Takes::value, set_text<&Options::manifest>, 29,
     "with --create: the entries as --json prints them\n"
     "(- stdin), their bytes the files of their names",
     "FILE"},
    {0, "version-text", Takes::value, set_text<&Options::version_text>, 30,
     "with --create or --update: the version text", "TEXT"},
    {0, "filler", Takes::value, set_text<&Options::filler>, 31,
     "with --create, --update or --delete: where the count\n"
     "would be a multiple of 4, add an empty file NAME",
     "NAME"},
    {'u', "update", Takes::nothing, set<&Options::update>, 49,
     "replace FILE's entries of the PATHs' names (under\n"
     "-C DIR) with the files, append the others; in place"},
    {0, "delete", Takes::nothing, set<&Options::remove>, 50, "remove every entry of each NAME from FILE, in place"},
    {0, "out", Takes::value, set_text<&Options::out>, 51,
     "with --update or --delete: write the result as NEW\n"
     "and leave FILE as it is",
     "NEW"},
    {0, "signatures", Takes::value, set_signatures, 52,
     "with --update: keep (default) or zero the signatures\n"
     "of an entry whose bytes change",
     "WHAT", signatures_values},
    {0, "scan", Takes::nothing, set<&Options::scan>, 46,
     "list every update file inside FILE, at any offset:\n"
     "offset, end, file count, notes and version text"},
    {0, "carve", Takes::nothing, set<&Options::carve>, 47,
     "write each update file inside FILE to OFFSET.update\n"
     "(8 or more hex digits) under -C DIR"},
    {0, "weak", Takes::nothing, set<&Options::weak>, 48,
     "with --scan or --carve: also what the loader alone\n"
     "would accept, noted as weak"},
    {'h', "help", Takes::nothing, set<&Options::help>, 43, "print this help and exit"},
    {'V', "version", Takes::nothing, set<&Options::version>, 44, "print the version and exit"},
    // tar's compression options, refused with what reads such a file instead.
    {'z', "gzip", Takes::nothing, refuse_compression<&zcat>, 32},
    {0, "gunzip", Takes::nothing, refuse_compression<&zcat>, 33},
    {0, "ungzip", Takes::nothing, refuse_compression<&zcat>, 34},
    {'j', "bzip2", Takes::nothing, refuse_compression<&bzcat>, 35},
    {'J', "xz", Takes::nothing, refuse_compression<&xzcat>, 36},
    {0, "lzma", Takes::nothing, refuse_compression<&xzcat>, 37},
    {0, "zstd", Takes::nothing, refuse_compression<&zstdcat>, 38},
    {0, "lzip", Takes::nothing, refuse_compression<&lzip>, 39},
    {0, "lzop", Takes::nothing, refuse_compression<&lzop>, 40},
    {'Z', "compress", Takes::nothing, refuse_compression<&zcat>, 41},
    {0, "uncompress", Takes::nothing, refuse_compression<&zcat>, 42},
};

// The rows by age; a gap or an age given twice leaves a row unset, which fails the build.
constexpr auto by_age = [] {
    std::array<const OptionForm*, std::size(forms)> rows{};
    for (const OptionForm& form : forms) rows.at(form.age) = &form;
    return rows;
}();
static_assert(std::ranges::find(by_age, nullptr) == by_age.end(), "every age once, from 0");

}  // namespace

bool is_whole_number(const char* text) {
    const char* digits = text + (*text == '-' || *text == '+' ? 1 : 0);
    return *digits != '\0' && std::strspn(digits, "0123456789") == std::strlen(digits);
}

std::string shown_value(const char* value) {
    const std::string_view text = value;
    return text.size() <= 40 ? std::string(text) : std::string(text.substr(0, 40)) + "...";
}

std::span<const OptionForm> option_forms() {
    return forms;
}

std::span<const OptionForm* const> options_by_age() {
    return by_age;
}

}  // namespace kp
