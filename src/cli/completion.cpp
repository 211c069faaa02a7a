#include "cli/completion.h"

#include "cli/option_table.h"

namespace kp {

namespace {

// The words separated by blanks, on lines of at most 100 columns after a 4-blank indent.
std::string wrapped(const std::vector<std::string>& words) {
    std::string text;
    std::size_t column = 4;
    for (const std::string& word : words) {
        if (!text.empty() && column + 1 + word.size() > 100) {
            text += "\n    ";
            column = 4;
        } else if (!text.empty()) {
            text += ' ';
            ++column;
        }
        text += word;
        column += word.size();
    }
    return text;
}

bool replace(std::string& text, std::string_view placeholder, const std::string& with) {
    const std::size_t at = text.find(placeholder);
    if (at == std::string::npos) return false;
    text.replace(at, placeholder.size(), with);
    return true;
}

}  // namespace

std::vector<std::string> completion_words() {
    std::vector<std::string> words;
    for (const OptionForm& form : option_forms()) {
        if (form.help == nullptr) continue;
        if (form.letter != 0) words.push_back(std::string("-") + form.letter);
        const std::string name = std::string("--") + form.name;
        if (form.takes != Takes::value) words.push_back(name);
        if (form.takes != Takes::nothing) words.push_back(name + "=");
    }
    return words;
}

std::vector<std::string> value_option_words() {
    std::vector<std::string> words;
    for (const OptionForm& form : option_forms()) {
        if (form.takes != Takes::value) continue;
        if (form.letter != 0) words.push_back(std::string("-") + form.letter);
        words.push_back(std::string("--") + form.name);
    }
    return words;
}

std::string completion_script(std::string_view script_template) {
    std::string script(script_template);
    const bool filled = replace(script, "@OPTION_WORDS@", wrapped(completion_words())) &&
                        replace(script, "@VALUE_OPTIONS@", wrapped(value_option_words()));
    return filled ? script : std::string();
}

}  // namespace kp
