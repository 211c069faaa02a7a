#include "cli/option_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/completion.h"
#include "support/run_tool.h"

namespace kp {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

// The words of `text` that stand between `start` and the next quote.
std::set<std::string> quoted_words(const std::string& text, const std::string& start) {
    const std::size_t from = text.find(start) + start.size();
    std::istringstream words(text.substr(from, text.find('\'', from) - from));
    std::set<std::string> found;
    for (std::string word; words >> word;) found.insert(word);
    return found;
}

// Each option line's first column: "  -n, --name=NAME  extract ..." gives "-n, --name=NAME".
std::vector<std::string> help_synopses(const std::string& help) {
    std::vector<std::string> synopses;
    for (const std::string& line : lines_of(help)) {
        const std::size_t indent = line.find_first_not_of(' ');
        if ((indent != 2 && indent != 6) || line[indent] != '-') continue;
        std::istringstream words(line.substr(indent));
        std::string synopsis;
        words >> synopsis;
        if (synopsis.ends_with(',')) {
            std::string name;
            words >> name;
            synopsis += " " + name;
        }
        synopses.push_back(synopsis);
    }
    return synopses;
}

// The headings of the manual's OPTIONS items, without fonts, quotes or blanks:
// ".BR \-f \", \" \-\-file =\fIfile\fR" gives "-f,--file=file".
std::vector<std::string> manual_headings(const std::string& manual) {
    std::vector<std::string> headings;
    bool options = false;
    bool item = false;
    for (const std::string& line : lines_of(manual)) {
        if (line.starts_with(".SH")) options = line == ".SH OPTIONS";
        if (options && item) {
            std::string heading =
                std::regex_replace(line.substr(line.find(' ') + 1), std::regex(R"(\\f[BIR]|[" ])"), "");
            headings.push_back(std::regex_replace(heading, std::regex(R"(\\-)"), "-"));
        }
        item = line == ".TP";
    }
    return headings;
}

// An option as the manual heads its item: the help's synopsis, its value in lower case.
std::string manual_heading(const OptionForm& form) {
    std::string heading =
        form.letter != 0 ? std::string("-") + form.letter + ",--" + form.name : std::string("--") + form.name;
    std::string value = form.value_name != nullptr ? form.value_name : "";
    std::ranges::transform(value, value.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (form.takes == Takes::value) heading += "=" + value;
    if (form.takes == Takes::optional) heading += "[=" + value + "]";
    return heading;
}

// The help, the completion and the manual name every option the table offers, as the
// table has it (its letter, whether and how it takes a value), and no other.
TEST(OptionTable, HelpCompletionAndManualNameTheSameOptions) {
    const std::string script_template =
        test::read_file(std::string(KPUPDATE_SOURCE_DIR) + "/packaging/kpupdate.bash-completion.in");
    const std::string script = completion_script(script_template);
    ASSERT_NE(script, "");
    const std::vector<std::string> help = help_synopses(usage_text());
    const std::vector<std::string> manual =
        manual_headings(test::read_file(std::string(KPUPDATE_SOURCE_DIR) + "/doc/kpupdate.1.in"));
    const std::set<std::string> words = quoted_words(script, "_kpupdate_option_words='");
    const std::set<std::string> value_words = quoted_words(script, "_kpupdate_value_options='");

    std::set<std::string> offered = {"--"};
    std::set<std::string> valued;
    std::size_t shown = 0;
    for (const OptionForm& form : option_forms()) {
        const std::string name = std::string("--") + form.name;
        const std::string letter = form.letter != 0 ? std::string("-") + form.letter : "";
        SCOPED_TRACE(name);
        if (form.help == nullptr) {
            EXPECT_FALSE(words.contains(name) || words.contains(name + "=")) << "refused, yet offered";
            continue;
        }
        ++shown;
        EXPECT_EQ(std::ranges::count(help, option_synopsis(form)), 1);
        EXPECT_EQ(std::ranges::count(manual, manual_heading(form)), 1);
        if (!letter.empty()) offered.insert(letter);
        if (form.takes != Takes::value) offered.insert(name);
        if (form.takes != Takes::nothing) offered.insert(name + "=");
        if (form.takes == Takes::value) {
            valued.insert(name);
            if (!letter.empty()) valued.insert(letter);
        }
        EXPECT_EQ(form.value_name != nullptr, form.takes != Takes::nothing) << "a value name for each value";
    }
    EXPECT_EQ(help.size(), shown);
    EXPECT_EQ(manual.size(), shown);
    EXPECT_EQ(words, offered);
    EXPECT_EQ(value_words, valued);
}

// What the completion script says by hand of options (which of them take which values,
// the starts it reads as -f and -x) names options the table has.
TEST(OptionTable, CompletionScriptNamesOnlyItsOptions) {
    const std::string script_template =
        test::read_file(std::string(KPUPDATE_SOURCE_DIR) + "/packaging/kpupdate.bash-completion.in");
    const std::regex long_word(R"((^|[^-\w])--([a-z][a-z0-9-]*))");
    std::size_t seen = 0;
    for (std::sregex_iterator at(script_template.begin(), script_template.end(), long_word), end; at != end; ++at) {
        const std::string word = (*at)[2];
        ++seen;
        EXPECT_TRUE(std::ranges::any_of(option_forms(),
                                        [&](const OptionForm& form) {
                                            return form.help != nullptr &&
                                                   std::string_view(form.name).starts_with(word);
                                        }))
            << "--" << word;
    }
    EXPECT_GT(seen, 20U);
}

// The help is kept as text beside the tests. It fits
// a terminal of 80 columns.
TEST(Help, MatchesItsRecordedText) {
    const test::ToolRun run = test::run_tool({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    test::expect_recorded(run.out, "help.stdout");
    for (const std::string& line : lines_of(run.out)) EXPECT_LE(line.size(), 80U) << line;
}

}  // namespace
}  // namespace kp
