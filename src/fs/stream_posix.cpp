#include "fs/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "fs/testing.h"

namespace kp {

namespace {

constexpr int pipe_size = 1 << 20;  // what an unprivileged process may ask for by default

}  // namespace

InputKind open_input(SourceFile& source, std::string_view path, const RetryUnder& retry, bool directories,
                     std::string& system_text) {
    const std::string text(path);
    int fd = -1;
    struct stat status {};
    if (text == "-") {
        // A descriptor of its own, closed with the source like any other; a closed
        // standard input leaves none, and the first read says why.
        fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    } else {
        // Opened as it is, whatever it is: a FIFO waits here for its writer.
        fd = ::open(text.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 && !text.empty() && retry.directory != no_file) {
            const int error = errno;  // of the path as given, which the user sees
            fd = ::openat(static_cast<int>(retry.directory),
                          text.c_str() + std::min(text.find_first_not_of('/'), text.size()), O_RDONLY | O_CLOEXEC);
            if (fd < 0) errno = error;
        }
        if (fd < 0 || ::fstat(fd, &status) != 0) {
            system_text = std::strerror(errno);
            if (fd >= 0) ::close(fd);
            return InputKind::unopened;
        }
        if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) {
            source.handle = fd;
            source.length = S_ISREG(status.st_mode) ? static_cast<u64>(status.st_size) : 0;
            return S_ISDIR(status.st_mode) && directories ? InputKind::directory : InputKind::file;
        }
    }
    if (fd >= 0 && ::isatty(fd) != 0) {
        ::close(fd);
        return InputKind::terminal;
    }
    // A larger pipe lets its writer run further ahead, and each move take more: a 64 KiB
    // pipe costs a pass between the two processes for every 64 KiB. Where the system
    // refuses, the pipe stays as it is.
    ::fcntl(fd, F_SETPIPE_SZ, pipe_size);
    source.handle = fd < 0 ? no_file : fd;
    source.stream = true;
    source.length = unknown_length;
    return InputKind::stream;
}

InputKind open_descriptor_input(SourceFile& source, int descriptor, std::string& system_text) {
    const int fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        system_text = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return InputKind::unopened;
    }
    if (::isatty(fd) != 0) {
        ::close(fd);
        return InputKind::terminal;
    }
    source.handle = fd;
    if (S_ISREG(status.st_mode)) {
        source.length = static_cast<u64>(status.st_size);
        return InputKind::file;
    }
    source.stream = true;
    source.length = unknown_length;
    return InputKind::stream;
}

FileHandle descriptor_handle(int descriptor) {
    return descriptor < 0 ? no_file : descriptor;
}

std::int64_t stream_read(FileHandle in, unsigned char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(static_cast<int>(in), buffer, size);
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) errno = 0;
        return got;
    }
}

std::int64_t stream_move(FileHandle in, FileHandle out, std::size_t size) {
    if (portable_file_calls()) return stream_move_not_offered;
    for (;;) {
        // Pipe to file or pipe to pipe; the pages move without a pass through this process.
        const ssize_t moved = ::splice(static_cast<int>(in), nullptr, static_cast<int>(out), nullptr, size,
                                       SPLICE_F_MOVE | SPLICE_F_MORE);
        if (moved < 0 && errno == EINTR) continue;
        // Neither side a pipe, or a file opened for appending.
        if (moved < 0 && (errno == EINVAL || errno == ENOSYS)) return stream_move_not_offered;
        if (moved == 0) errno = 0;
        return moved;
    }
}

}  // namespace kp
