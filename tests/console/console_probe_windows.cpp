// Run inside a real console: checks the attribute calls through the console's own
// record of its state. Exit 0 when every check holds.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "console/console.h"
#include "console/console_platform.h"

namespace {

int failures = 0;

WORD attribute_now(HANDLE handle) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    GetConsoleScreenBufferInfo(handle, &info);
    return info.wAttributes;
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

}  // namespace

int main() {
    _putenv("NO_COLOR=");
    const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(handle, &info)) {
        std::fprintf(stderr, "FAILED: standard output is not a console\n");
        return 2;
    }
    const WORD before = info.wAttributes == 14 ? 7 : info.wAttributes;
    SetConsoleTextAttribute(handle, before);
    const UINT code_page = GetConsoleOutputCP();

    kp::ConsoleOutput console;
    kp::console_init(console, kp::platform_stdout_handle());
    check(console.colour == kp::ColourMode::native, "a console takes native attributes");
    check(console.width == (info.dwMaximumWindowSize.X > 1 ? info.dwMaximumWindowSize.X : 80), "width");
    check(GetConsoleOutputCP() == CP_UTF8, "UTF-8 output code page during the run");

    kp::console_print(console, kp::attr_yellow, "first line in 14\n");
    check(attribute_now(handle) == 14, "a message in 14 leaves the console in 14");
    SetConsoleTextAttribute(handle, 3);  // behind the console's back: a second call would undo it
    kp::console_print(console, kp::attr_yellow, "second line in 14\n");
    check(attribute_now(handle) == 3, "a second message in 14 makes no attribute call");
    SetConsoleTextAttribute(handle, 14);

    kp::console_restore(console);
    check(attribute_now(handle) == before, "restore puts back the attribute from before");
    check(GetConsoleOutputCP() == code_page, "restore puts back the output code page");
    std::fprintf(stderr, failures == 0 ? "console probe: all checks passed\n" : "console probe: failed\n");
    return failures == 0 ? 0 : 1;
}
