// The signal handler that removes the new file being written before the process ends.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <iterator>
#include <string>

#include "fs/interruptions.h"

#include "console/console_platform.h"

namespace kp {

namespace {

// The one temporary name that exists while a file is written or put in place: set and
// cleared only while a signal is held over, so that the handler never sees half of it.
volatile std::sig_atomic_t temporary_directory = -1;
char temporary_name[new_file_name_room];

// Set while a signal is held over to the moment's end: blocking the signals instead
// would cost two calls for every file, as much as the file's own write.
volatile std::sig_atomic_t deferring = 0;
volatile std::sig_atomic_t deferred_signal = 0;

// Every catchable signal that ends a process. One ignored when the run began (nohup's
// SIGHUP, a caller's SIGPIPE) or handled already (a test harness's timer) stays so.
constexpr int guarded_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE};
struct sigaction previous_actions[std::size(guarded_signals)];
struct sigaction previous_file_size_action;
bool guarded = false;

// Removes the temporary and ends the process as the signal would have without a handler.
void remove_temporary_and_end(int signal_number) {
    if (temporary_directory >= 0) ::unlinkat(temporary_directory, temporary_name, 0);
    console_erase_drawn_line();
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    ::sigaction(signal_number, &default_action, nullptr);
    // Raised in the handler, it comes once the handler returns; after a moment that held
    // it over, at once.
    std::raise(signal_number);
}

void on_signal(int signal_number) {
    if (deferring != 0) {
        deferred_signal = signal_number;
        return;
    }
    remove_temporary_and_end(signal_number);
}

}  // namespace

InterruptionsHeldOver::InterruptionsHeldOver() : active_(guarded) {
    if (!active_) return;
    deferring = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

InterruptionsHeldOver::~InterruptionsHeldOver() {
    if (!active_) return;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    deferring = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (const int signal_number = deferred_signal; signal_number != 0) remove_temporary_and_end(signal_number);
}

void remember_new_file(FileHandle directory, const std::string& name, FileHandle) {
    if (!guarded) return;
    std::memcpy(temporary_name, name.c_str(), name.size() + 1);
    temporary_directory = descriptor(directory);
}

void forget_new_file() {
    if (guarded) temporary_directory = -1;
}

void guard_interruptions() {
    if (guarded) return;
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESTART;  // a signal held over returns to the call it came in
    sigemptyset(&action.sa_mask);
    for (const int signal_number : guarded_signals) sigaddset(&action.sa_mask, signal_number);
    for (std::size_t i = 0; i < std::size(guarded_signals); ++i) {
        ::sigaction(guarded_signals[i], nullptr, &previous_actions[i]);
        const bool ends_run =
            (previous_actions[i].sa_flags & SA_SIGINFO) == 0 && previous_actions[i].sa_handler == SIG_DFL;
        if (ends_run) ::sigaction(guarded_signals[i], &action, nullptr);
    }
    // A write past the file-size limit then fails with EFBIG and the file is removed, as
    // on any failed write, instead of the signal ending the run with the file half made.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, &previous_file_size_action);
    guarded = true;
}

void unguard_interruptions() {
    if (!guarded) return;
    for (std::size_t i = 0; i < std::size(guarded_signals); ++i) {
        ::sigaction(guarded_signals[i], &previous_actions[i], nullptr);
    }
    ::sigaction(SIGXFSZ, &previous_file_size_action, nullptr);
    guarded = false;
}

}  // namespace kp
