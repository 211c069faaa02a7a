// The program's argv as UTF-8, rebuilt from the native command line where that is UTF-16.
#pragma once

#include <array>
#include <memory>
#include <vector>

namespace kp {

// One converted argument: short ones live inline, longer ones on the heap.
struct ArgumentString {
    std::array<char, 16> inline_storage{};
    std::unique_ptr<char[]> heap;
};

struct CommandLineArgs {
    std::vector<char*> pointers;          // the new argv, null-terminated
    std::vector<ArgumentString> strings;  // one per argument
    int saved_argc = 0;
    char** saved_argv = nullptr;
    int* argc_slot = nullptr;
    char*** argv_slot = nullptr;
};

// Replaces *argc and *argv with the UTF-8 argument list. A malformed argument ends the
// list before it. Where the platform already passes UTF-8 the values stay as they are.
void command_line_args_create(CommandLineArgs& args, int* argc, char*** argv);

// Puts the caller's argc and argv back and frees the converted strings.
void command_line_args_release(CommandLineArgs& args);

}  // namespace kp
