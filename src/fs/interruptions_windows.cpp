// The console's control handler, which removes the new file being written before the
// process ends.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winternl.h>

#include "console/console_platform.h"
#include "fs/interruptions.h"

#include "fs/nt_windows.h"

namespace kp {

namespace {

// The file being written, for the handler, which runs on a thread of its own: it takes
// the lock, so the file is never half set up when it looks.
CRITICAL_SECTION pending_lock;
HANDLE file_being_written = nullptr;
bool guarded = false;

BOOL WINAPI remove_pending_and_end(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    EnterCriticalSection(&pending_lock);
    if (file_being_written != nullptr) delete_on_close(file_being_written);
    console_erase_drawn_line();
    // What the system's own handler does; the handle closes, and the file goes, with it.
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

void set_pending(HANDLE file) {
    if (!guarded) return;
    EnterCriticalSection(&pending_lock);  // held already where held over: it counts
    file_being_written = file;
    LeaveCriticalSection(&pending_lock);
}

}  // namespace

InterruptionsHeldOver::InterruptionsHeldOver() : active_(guarded) {
    if (active_) EnterCriticalSection(&pending_lock);
}

InterruptionsHeldOver::~InterruptionsHeldOver() {
    if (active_) LeaveCriticalSection(&pending_lock);
}

void remember_new_file(FileHandle, const std::string&, FileHandle file) {
    set_pending(handle_of(file));
}

void forget_new_file() {
    set_pending(nullptr);
}

void guard_interruptions() {
    if (guarded) return;
    InitializeCriticalSection(&pending_lock);
    file_being_written = nullptr;
    guarded = SetConsoleCtrlHandler(remove_pending_and_end, TRUE) != 0;
    if (!guarded) DeleteCriticalSection(&pending_lock);
}

void unguard_interruptions() {
    if (!guarded) return;
    SetConsoleCtrlHandler(remove_pending_and_end, FALSE);
    DeleteCriticalSection(&pending_lock);
    guarded = false;
}

}  // namespace kp
