#include "mount/reads.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kpmount {

namespace {

// Each of FUSE's threads moves its replies through a pipe of its own, made at its first
// read and closed when the thread ends. A pipe of ours, not FILE itself, goes to FUSE:
// a splice from FILE straight into FUSE's pipe would come up short at FILE's new end
// with nobody here to see it.
struct ThreadPipe {
    int ends[2] = {-1, -1};
    std::size_t capacity = 0;
    bool refused = false;  // FILE's file system moves no bytes into a pipe: never asked again

    ThreadPipe() = default;
    ThreadPipe(const ThreadPipe&) = delete;
    ThreadPipe& operator=(const ThreadPipe&) = delete;
    ~ThreadPipe() { drop(); }

    void drop() {
        for (int& end : ends) {
            if (end >= 0) ::close(end);
            end = -1;
        }
        capacity = 0;
    }
};

thread_local ThreadPipe thread_pipe;

// Makes `pipe` empty, with room for `size` bytes however they lie across pages; false
// where the system gives no such pipe.
bool ready(ThreadPipe& pipe, std::size_t size) {
    int left = 0;
    // A reply that failed half way leaves bytes behind, which must not start the next one.
    if (pipe.ends[0] >= 0 && (::ioctl(pipe.ends[0], FIONREAD, &left) != 0 || left != 0)) pipe.drop();
    if (pipe.ends[0] < 0 && ::pipe2(pipe.ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    // A pipe holds a page, or part of one, in each of its slots, and an entry starts at
    // any multiple of 512: its bytes may touch a page more at either end.
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t room = size + 2 * page;
    if (pipe.capacity >= room) return true;
    const int given = room <= 1u << 30 ? ::fcntl(pipe.ends[1], F_SETPIPE_SZ, static_cast<int>(room)) : -1;
    if (given < 0) return false;
    pipe.capacity = static_cast<std::size_t>(given);
    return true;
}

}  // namespace

std::size_t bytes_wanted(const Span& span, std::uint64_t offset, std::size_t size) {
    return offset >= span.size ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(size, span.size - offset));
}

int read_whole(int file, std::uint64_t offset, char* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(file, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -EIO;  // FILE ends before them, now, or the read failed
        done += static_cast<std::size_t>(got);
    }
    return 0;
}

int move_whole(int file, std::uint64_t offset, std::size_t size) {
    ThreadPipe& pipe = thread_pipe;
    if (pipe.refused || !ready(pipe, size)) return -1;
    std::size_t moved = 0;
    while (moved < size) {
        auto at = static_cast<loff_t>(offset + moved);
        // Never waits on the pipe: nobody reads it until this returns.
        const ssize_t got = ::splice(file, &at, pipe.ends[1], nullptr, size - moved, SPLICE_F_NONBLOCK);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EINVAL) pipe.refused = true;
        if (got <= 0) break;
        moved += static_cast<std::size_t>(got);
    }
    if (moved == size) return pipe.ends[0];
    pipe.drop();
    return -1;
}

}  // namespace kpmount
