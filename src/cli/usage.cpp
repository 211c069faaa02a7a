// The help: what the program is, every option the table offers, and how they go together.
#include "cli/option_table.h"

namespace kp {

namespace {

// The column the options' texts start in, and their later lines.
constexpr std::size_t text_column = 24;
constexpr std::size_t later_column = 26;

constexpr const char* about =
    "Usage: kpupdate [OPTION]... FILE [INDEX | NAME...]\n"
    "  or:  kpupdate --create [OPTION]... NEW [PATH]...\n"
    "  or:  kpupdate --scan | --carve [OPTION]... FILE\n"
    "Check a Kelvo/Pardo firmware update file, list the files it holds, and\n"
    "extract them; with INDEX, a whole number, the file carrying that index\n"
    "number, padded to its 512-byte chunk; with NAMEs, those files. FILE -\n"
    "reads standard input; a pipe or a device is read once, from start to end.\n"
    "Every file is written at its own size, but for INDEX alone.\n"
    "With --create, write the update file NEW (- standard output) from the files\n"
    "under each PATH, or from a manifest, and check it before it takes its name.\n"
    "With --scan or --carve, find the update files inside any FILE.\n"
    "\n";

constexpr const char* rules =
    "\n"
    "The selectors INDEX, --index, --position, --name, --include and --all add up.\n"
    "Options may come before or after FILE; a whole number after FILE is INDEX\n"
    "(unless -x or -f), any other word a name; -- ends the options. Long options\n"
    "may be shortened to any start that names only one. Compression options (-z,\n"
    "-j, -J) are refused: update files are never compressed.\n"
    "\n"
    "Exit status: 0 on success; 1 when --diff finds the two sides different; 255\n"
    "on a usage error, when FILE cannot be opened, a selector matches nothing or\n"
    "a file cannot be extracted or NEW cannot be made; 254 when FILE is not a\n"
    "valid update file or --test or --diff finds damage.\n";

}  // namespace

std::string option_synopsis(const OptionForm& form) {
    std::string synopsis = form.letter != 0 ? std::string("-") + form.letter + ", --" : std::string("--");
    synopsis += form.name;
    if (form.takes == Takes::value) synopsis += std::string("=") + form.value_name;
    if (form.takes == Takes::optional) synopsis += std::string("[=") + form.value_name + "]";
    return synopsis;
}

std::string usage_text() {
    std::string text = about;
    for (const OptionForm& form : option_forms()) {
        if (form.help == nullptr) continue;
        // A long synopsis keeps two blanks before the text, which then starts later.
        std::string line = (form.letter != 0 ? "  " : "      ") + option_synopsis(form);
        line.append(line.size() < text_column ? text_column - line.size() : 2, ' ');
        for (const char* at = form.help; *at != '\0'; ++at) {
            line += *at;
            if (*at == '\n') line.append(later_column, ' ');
        }
        text += line + "\n";
    }
    return text + rules;
}

}  // namespace kp
