// The process entry: one archive and one console for the whole run.
#include "archive/update_archive.h"
#include "cli/command_line.h"
#include "cli/driver.h"
#include "console/console.h"

namespace {

// Destroyed in reverse order: the console is restored (and flushed) before the
// archive is freed.
kp::UpdateArchive archive;
kp::ConsoleOutput console;
struct RestoreConsoleAtExit {
    ~RestoreConsoleAtExit() { kp::console_restore(console); }
} restore_console_at_exit;

}  // namespace

int main(int argc, char** argv) {
    kp::CommandLineArgs args;
    kp::command_line_args_create(args, &argc, &argv);
    kp::i32 status = kp::run_command_line(archive, console, argc, argv);
    kp::console_restore(console);
    // A report that never reached its reader is no success, though nothing can say so.
    if (status == kp::exit_ok && !kp::console_flush(console)) status = kp::exit_failure;
    kp::command_line_args_release(args);
    return status;
}
