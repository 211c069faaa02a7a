#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "console/console_platform.h"

namespace kp {

namespace {

int stdout_descriptor = STDOUT_FILENO;
int stderr_descriptor = STDERR_FILENO;

int descriptor_of(void* handle) {
    return *static_cast<int*>(handle);
}

bool write_to_sink(void* context, const char* data, std::size_t size) {
    return write_all(descriptor_of(context), data, size);
}

}  // namespace

bool write_all(std::intptr_t handle, const void* data, std::size_t size) {
    const int fd = static_cast<int>(handle);
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

void* platform_stdout_handle() {
    return &stdout_descriptor;
}

void* platform_stderr_handle() {
    return &stderr_descriptor;
}

std::intptr_t platform_stderr_file() {
    return STDERR_FILENO;
}

ConsoleTraits platform_console_traits(void* handle) {
    ConsoleTraits traits;
    if (handle == nullptr || ::isatty(descriptor_of(handle)) == 0) {
        return traits;
    }
    traits.terminal = true;
    winsize size{};
    if (::ioctl(descriptor_of(handle), TIOCGWINSZ, &size) == 0) {
        traits.width = size.ws_col;
    }
    return traits;
}

ConsoleSink platform_stdout_sink(void* handle) {
    // Terminals take colour as escape sequences in the text; there is no native call.
    return ConsoleSink{handle != nullptr ? write_to_sink : nullptr, nullptr, handle};
}

// Terminals take the bytes as they are.
void platform_console_begin(void*) {}
void platform_console_end() {}

}  // namespace kp
