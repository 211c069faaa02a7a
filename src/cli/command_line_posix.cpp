#include "cli/command_line.h"

namespace kp {

// The process entry already receives the arguments as the bytes the user gave.
void command_line_args_create(CommandLineArgs& args, int* argc, char*** argv) {
    args.saved_argc = *argc;
    args.saved_argv = *argv;
    args.argc_slot = argc;
    args.argv_slot = argv;
}

void command_line_args_release(CommandLineArgs& args) {
    if (args.argc_slot == nullptr) return;
    *args.argc_slot = args.saved_argc;
    *args.argv_slot = args.saved_argv;
    args.argc_slot = nullptr;
    args.argv_slot = nullptr;
}

}  // namespace kp
