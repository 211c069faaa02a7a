#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "extract/stream.h"

namespace kp {

namespace {

constexpr int pipe_size = 1 << 20;  // what an unprivileged process may ask for by default

}  // namespace

InputKind open_input(SourceFile& source, const std::filesystem::path& path, bool standard_input) {
    int fd = -1;
    if (standard_input) {
        // A descriptor of its own, closed with the source like any other; a closed
        // standard input leaves none, and the first read says why.
        fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    } else {
        // Looked at before it is opened: opening a FIFO waits for its writer.
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) {
            return InputKind::file;
        }
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return InputKind::file;  // the loader tries it again and says why
    }
    if (fd >= 0 && ::isatty(fd) != 0) {
        ::close(fd);
        return InputKind::terminal;
    }
    // A larger pipe lets its writer run further ahead, and each move take more: a 64 KiB
    // pipe costs a pass between the two processes for every 64 KiB. Where the system
    // refuses, the pipe stays as it is.
    ::fcntl(fd, F_SETPIPE_SZ, pipe_size);
    source.handle = fd;
    source.stream = true;
    source.length = unknown_length;
    return InputKind::stream;
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
