// What an interruption leaves of a file put under the target: the new one removed until
// it is complete; signals the program does not own left as they were.
#include "fs/interruptions.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "fs/new_files.h"
#include "fs/testing.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;

#ifndef _WIN32

// A new file made at its free name is the handler's to remove until it is complete, and
// no longer once it is: a signal at each moment, in a process that guards itself. One
// that comes inside the file's making, before the handler is told of it, is held over to
// that moment's end. Where the name is taken, the file is made aside and the name keeps
// the old bytes.
TEST(Interruption, RemovesAFreshFileOnlyUntilItIsComplete) {
    enum class Moment : unsigned char { making, written, complete };
    const struct {
        const char* what;
        bool taken;
        Moment moment;
        const char* left;  // "" for no file
    } cases[] = {
        {"fresh, interrupted inside its making", false, Moment::making, ""},
        {"fresh, interrupted while written", false, Moment::written, ""},
        {"fresh, interrupted once complete", false, Moment::complete, "new"},
        {"taken, interrupted inside its making", true, Moment::making, "old"},
        {"taken, interrupted while written", true, Moment::written, "old"},
        {"taken, interrupted once complete", true, Moment::complete, "new"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        if (c.taken) write_file(dir.file("f"), "old");
        const pid_t child = ::fork();
        if (child == 0) {
            guard_interruptions();
            const int directory = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            PendingFile file;
            // A file put at a free name first: names have been free, so the next is tried
            // at its own name, whatever this process wrote before.
            if (!create_pending_file(file, directory, "primer", true) ||
                commit_pending_file(file, "primer", Existing::replace) != Placed::written ||
                ::unlinkat(directory, "primer", 0) != 0) {
                _exit(2);
            }
            if (c.moment == Moment::making) raise_inside_file_making(SIGTERM);
            if (!create_pending_file(file, directory, "f", true) || c.moment == Moment::making) _exit(3);
            if (::write(descriptor(file.handle), "new", 3) != 3) _exit(4);
            // Seen at its name while written only where the name was free.
            if ((::faccessat(directory, "f", F_OK, 0) == 0 && !c.taken) == c.taken) _exit(5);
            if (c.moment == Moment::complete && commit_pending_file(file, "f", Existing::replace) != Placed::written)
                _exit(6);
            std::raise(SIGTERM);
            _exit(7);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), SIGTERM);
        EXPECT_EQ(test::tree(dir.path()),
                  c.left[0] == '\0' ? std::vector<std::string>{} : std::vector<std::string>{"f"});
        if (c.left[0] != '\0') {
            EXPECT_EQ(read_file(dir.file("f")), c.left);
        }
    }
}

// A signal the process already handles (a test harness's timer, a caller's handler)
// stays its own while files are written: the guard takes only what would end the run.
volatile std::sig_atomic_t handled_signal = 0;
TEST(Interruption, LeavesAHandledSignalToItsHandler) {
    const auto previous = std::signal(SIGTERM, [](int signal_number) { handled_signal = signal_number; });
    guard_interruptions();
    std::raise(SIGTERM);
    unguard_interruptions();
    std::signal(SIGTERM, previous);
    EXPECT_EQ(handled_signal, SIGTERM);
}

#endif

}  // namespace
}  // namespace kp
