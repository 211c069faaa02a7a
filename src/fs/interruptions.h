// An interruption removes the one new file being written before the process ends, so
// that nothing half made is left behind under a temporary name.
#pragma once

#include <string>

#include "fs/handle.h"

namespace kp {

// From here until unguard_interruptions, every catchable signal that ends a process
// (Ctrl-C, Ctrl-\, a hang-up, a request to terminate, SIGUSR1, SIGUSR2, SIGALRM,
// SIGPIPE; on Windows Ctrl-C, Ctrl-Break or closing the console) removes the file being
// written and takes the progress line off the terminal before the process ends with the
// usual status for that signal; a signal ignored when the run began stays ignored. A
// write past the file-size limit fails with EFBIG instead of ending the process.
void guard_interruptions();
void unguard_interruptions();

// While one lives, an interruption waits for its end: a new file is made and told to the
// handler, or named, in one step as the handler sees it. Nothing where unguarded.
class InterruptionsHeldOver {
public:
    InterruptionsHeldOver();
    ~InterruptionsHeldOver();
    InterruptionsHeldOver(const InterruptionsHeldOver&) = delete;
    InterruptionsHeldOver& operator=(const InterruptionsHeldOver&) = delete;

private:
    bool active_;
};

// Tells the handler the file to remove: `name` in `directory` on POSIX (at most
// new_file_name_room - 1 bytes), the open `file` on Windows. Only while held over; nothing
// in a process that does not guard itself, where a library's callers may write files from
// several threads.
inline constexpr std::size_t new_file_name_room = 256;
void remember_new_file(FileHandle directory, const std::string& name, FileHandle file);

// The file is complete or gone: an interruption leaves it.
void forget_new_file();

}  // namespace kp
