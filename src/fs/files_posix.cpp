#include "fs/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace kp {

bool system_random(void* data, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(data);
    while (size > 0) {
        const ssize_t got = ::getrandom(bytes, size, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    if (size == 0) return true;
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);  // a kernel before getrandom
    while (fd >= 0 && size > 0) {
        const ssize_t got = ::read(fd, bytes, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    if (fd >= 0) ::close(fd);
    return size == 0;
}

std::string last_error_text() {
    return errno == 0 ? std::string() : std::strerror(errno);
}

FileHandle open_target_directory(const std::filesystem::path& path) {
    const int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? no_file : fd;
}

FileHandle open_subdirectory(FileHandle parent, const std::filesystem::path& part, bool create, bool follow_links,
                             DirectoryError& error) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_links ? 0 : O_NOFOLLOW);
    int fd = ::openat(descriptor(parent), part.c_str(), flags);
    if (fd < 0 && errno == ENOENT && create) {
        // Made here or by a concurrent run; either way it is opened, and checked, below.
        if (::mkdirat(descriptor(parent), part.c_str(), 0777) == 0 || errno == EEXIST) {
            fd = ::openat(descriptor(parent), part.c_str(), flags);
        }
    }
    if (fd >= 0) return fd;
    // A link met with O_NOFOLLOW fails with ELOOP, and a file with ENOTDIR.
    error.not_a_directory = errno == ENOTDIR || errno == ELOOP;
    error.missing = errno == ENOENT;
    error.out_of_handles = errno == EMFILE || errno == ENFILE;
    error.text = last_error_text();
    return no_file;
}

void close_directory(FileHandle directory) {
    if (directory != no_file) ::close(descriptor(directory));
}

namespace {

FileStamp stamp_from(const struct stat& status) {
    constexpr std::int64_t nanoseconds = 1000000000;
    FileStamp stamp;
    stamp.size = status.st_size > 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
    stamp.modified = status.st_mtim.tv_sec * nanoseconds + status.st_mtim.tv_nsec;
    stamp.changed = status.st_ctim.tv_sec * nanoseconds + status.st_ctim.tv_nsec;
    return stamp;
}

FileId id_from(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

LeafStatus status_from(const struct stat& status) {
    LeafStatus measured;
    const mode_t type = status.st_mode & S_IFMT;
    measured.kind = type == S_IFREG    ? LeafKind::regular
                    : type == S_IFDIR  ? LeafKind::directory
                    : type == S_IFLNK  ? LeafKind::link
                    : type == S_IFIFO  ? LeafKind::fifo
                    : type == S_IFCHR  ? LeafKind::device
                    : type == S_IFBLK  ? LeafKind::device
                    : type == S_IFSOCK ? LeafKind::socket
                                       : LeafKind::other;
    measured.size = status.st_size > 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
    measured.id = id_from(status);
    if (measured.kind == LeafKind::regular) measured.stamp = stamp_from(status);
    return measured;
}

}  // namespace

Leaf open_leaf(FileHandle directory, const std::filesystem::path& leaf, FileHandle& opened, std::uint64_t& length) {
    const FileHandle file = open_measured(directory, leaf.c_str());
    if (file == no_file) {
        // A link there fails with ELOOP, a socket with ENXIO; anything else is the system's
        // refusal (no right to read it, no descriptor to spare), which says nothing of it.
        if (errno == ENOENT) return Leaf::missing;
        return errno == ELOOP || errno == ENXIO ? Leaf::other : Leaf::unreadable;
    }
    const int fd = descriptor(file);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const int error = errno;  // what the system said of it, not of the close
        ::close(fd);
        errno = error;
        return Leaf::unreadable;
    }
    if (!S_ISREG(status.st_mode) || status.st_size < 0) {
        ::close(fd);
        return Leaf::other;
    }
    opened = fd;
    length = static_cast<std::uint64_t>(status.st_size);
    return Leaf::regular;
}

bool stamp_of(FileHandle file, FileStamp& stamp) {
    struct stat status {};
    if (::fstat(descriptor(file), &status) != 0) return false;
    stamp = stamp_from(status);
    return true;
}

std::size_t open_files_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::size_t{1} << 20;
    return static_cast<std::size_t>(limit.rlim_cur);
}

bool read_directory(FileHandle directory, std::vector<DirectoryItem>& items) {
    // Read through a descriptor of its own, closed as soon as the names are read: what a
    // file system keeps for a reader is let go while it is still in the cache, not for
    // every directory at once when the walk ends.
    const int fd = ::openat(descriptor(directory), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    alignas(dirent64) char buffer[16384];
    for (;;) {
        const ssize_t got = ::getdents64(fd, buffer, sizeof buffer);
        if (got <= 0) {
            const int error = errno;
            ::close(fd);
            errno = error;
            return got == 0;
        }
        for (ssize_t at = 0; at < got;) {
            const auto* item = reinterpret_cast<const dirent64*>(buffer + at);
            at += item->d_reclen;
            const std::string_view name = item->d_name;
            if (name == "." || name == "..") continue;
            bool is_directory = item->d_type == DT_DIR;
            bool is_regular = item->d_type == DT_REG;
            if (item->d_type == DT_UNKNOWN) {  // some file systems leave the kind to a look of its own
                struct stat status {};
                const bool seen = ::fstatat(fd, item->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0;
                is_directory = seen && S_ISDIR(status.st_mode);
                is_regular = seen && S_ISREG(status.st_mode);
            }
            items.push_back({std::string(name), is_directory ? std::filesystem::path(name) : std::filesystem::path(),
                             is_directory, is_regular});
        }
    }
}

LeafStatus measure_leaf(FileHandle directory, const std::filesystem::path& leaf) {
    struct stat status {};
    if (::fstatat(descriptor(directory), leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        LeafStatus measured;
        measured.kind = errno == ENOENT ? LeafKind::missing : LeafKind::unreadable;
        measured.text = last_error_text();
        return measured;
    }
    return status_from(status);
}

LeafStatus measure_open(FileHandle file) {
    struct stat status {};
    if (::fstat(descriptor(file), &status) != 0) {
        LeafStatus measured;
        measured.kind = LeafKind::unreadable;
        measured.text = last_error_text();
        return measured;
    }
    return status_from(status);
}

bool set_write_position(FileHandle file, std::uint64_t offset) {
    return ::lseek(descriptor(file), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

FileHandle open_measured(FileHandle directory, const char* leaf) {
    // Not even a FIFO with a writer or a terminal waits: the descriptor does not block.
    const int fd = ::openat(descriptor(directory), leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    return fd < 0 ? no_file : fd;
}

ChangeWatch start_change_watch() {
    // The coarse clock is the one a change is stamped by: a change after this moment,
    // even within the same tick, is stamped no earlier than it.
    struct timespec now {};
    if (::clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0) return {};
    ChangeWatch watch;
    watch.since = std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
    watch.usable = true;
    return watch;
}

namespace {

// Whether the file system `handle` (a file or a directory) lies on is one this kernel
// stamps each change on by its own clock, as it happens.
bool stamps_by_own_clock(FileHandle handle) {
    struct statfs system {};
    if (::fstatfs(descriptor(handle), &system) != 0) return false;
    const auto type = static_cast<unsigned long>(system.f_type);
    return type == EXT4_SUPER_MAGIC || type == TMPFS_MAGIC || type == XFS_SUPER_MAGIC || type == BTRFS_SUPER_MAGIC;
}

}  // namespace

bool may_read_first(ChangeWatch& watch, FileHandle directory) {
    if (!watch.usable) return false;
    if (directory != watch.directory) {
        watch.directory_local = stamps_by_own_clock(directory);
        watch.directory = directory;
    }
    return watch.directory_local;
}

bool unchanged_since(ChangeWatch& watch, FileHandle file, const LeafStatus& status) {
    if (!watch.usable || status.kind != LeafKind::regular) return false;
    if (status.id.volume != watch.volume) {
        watch.local = stamps_by_own_clock(file);
        watch.volume = status.id.volume;
    }
    // A stamp of a whole second may come from a file system that keeps no finer: a change
    // later in that second shows as its start.
    constexpr std::int64_t second = 1000000000;
    const std::int64_t fineness = status.stamp.changed % second == 0 ? second : 1;
    return watch.local && status.stamp.changed <= watch.since - fineness;
}

bool is_as_measured(FileHandle file, const FileId& id, const FileStamp& stamp) {
    struct stat status {};
    return ::fstat(descriptor(file), &status) == 0 && S_ISREG(status.st_mode) && id_from(status) == id &&
           stamp_from(status) == stamp;
}

}  // namespace kp
