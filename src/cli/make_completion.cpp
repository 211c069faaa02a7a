// Writes the bash completion, its template filled with the option table's words:
//   make_completion TEMPLATE OUTPUT
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli/completion.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: make_completion TEMPLATE OUTPUT\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::ostringstream text;
    if (!in.is_open() || !(text << in.rdbuf())) {
        std::cerr << "make_completion: cannot read " << argv[1] << "\n";
        return 1;
    }
    const std::string script = kp::completion_script(text.str());
    if (script.empty()) {
        std::cerr << "make_completion: " << argv[1] << " lacks @OPTION_WORDS@ or @VALUE_OPTIONS@\n";
        return 1;
    }
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out << script;
    out.close();
    if (!out) {
        std::cerr << "make_completion: cannot write " << argv[2] << "\n";
        return 1;
    }
    return 0;
}
