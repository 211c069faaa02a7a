#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "extract/files.h"
#include "extract/names.h"

namespace kp {

namespace {

int descriptor(FileHandle file) {
    return static_cast<int>(file);
}

// The most one copy_file_range or sendfile call is asked for; the kernel stops at about
// 2 GiB per call anyway.
constexpr u64 largest_kernel_copy = u64{1} << 30;

// Without help from the kernel the bytes go through a buffer of this size. Pieces this
// small also keep the kernel from filling the new file's cache with its largest blocks
// of memory at once, which on a virtual machine was measured to be up to ten times
// slower now and then.
constexpr std::size_t buffer_size = std::size_t{128} * 1024;

// Errors that say this way of copying does not apply to these two files (a pipe, another
// file system, an old kernel), as opposed to a copy that failed.
bool copy_not_offered(int error) {
    return error == EINVAL || error == ENOSYS || error == EXDEV || error == EOPNOTSUPP || error == ENOTSUP ||
           error == EBADF || error == ESPIPE;
}

bool write_all(int out, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(out, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool copy_through_buffer(int in, u64 offset, u64 size, int out) {
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(buffer_size);
    while (size > 0) {
        const auto wanted = static_cast<std::size_t>(std::min<u64>(size, buffer_size));
        const ssize_t got = ::pread(in, buffer.get(), wanted, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;  // an error, or the file ended early
        if (!write_all(out, buffer.get(), static_cast<std::size_t>(got))) return false;
        offset += static_cast<u64>(got);
        size -= static_cast<u64>(got);
    }
    return true;
}

// One kernel copy of up to `size` bytes at `offset`: how many were copied, 0 at the end
// of the source, -1 with errno on failure.
using KernelCopy = ssize_t (*)(int in, off_t* offset, int out, std::size_t size);

ssize_t copy_file_range_call(int in, off_t* offset, int out, std::size_t size) {
    return ::copy_file_range(in, offset, out, nullptr, size, 0);
}

ssize_t sendfile_call(int in, off_t* offset, int out, std::size_t size) {
    return ::sendfile(out, in, offset, size);
}

// Copies with `call` as long as it works: 1 when done, -1 on failure, 0 when the call
// is not offered for these files or stopped short without saying why (some file systems
// answer 0 instead of an error). A fallback then goes on from where this one stopped,
// and reading tells a source that really ended early.
int copy_in_kernel(KernelCopy call, int in, u64& offset, u64& size, int out) {
    while (size > 0) {
        auto position = static_cast<off_t>(offset);
        const auto wanted = static_cast<std::size_t>(std::min(size, largest_kernel_copy));
        const ssize_t got = call(in, &position, out, wanted);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return copy_not_offered(errno) ? 0 : -1;
        if (got == 0) return 0;
        offset += static_cast<u64>(got);
        size -= static_cast<u64>(got);
    }
    return 1;
}

}  // namespace

NameRules native_name_rules() {
    return NameRules::posix;
}

bool open_source(SourceFile& source, const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || status.st_size < 0) {
        ::close(fd);
        return false;
    }
    source.handle = fd;
    source.length = static_cast<u64>(status.st_size);
    return true;
}

void close_source(SourceFile& source) {
    if (source.handle != no_file) ::close(descriptor(source.handle));
    source.handle = no_file;
}

FileHandle create_new_file(const std::filesystem::path& path, bool& exists) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    exists = fd < 0 && errno == EEXIST;
    return fd < 0 ? no_file : fd;
}

FileHandle standard_output() {
    return STDOUT_FILENO;
}

bool copy_range(const SourceFile& source, u64 offset, u64 size, FileHandle out) {
    const int in = descriptor(source.handle);
    // Inside the kernel where it can: between files on one file system that may share
    // the blocks, into a pipe without a pass through this process.
    for (const KernelCopy call : {copy_file_range_call, sendfile_call}) {
        const int done = copy_in_kernel(call, in, offset, size, descriptor(out));
        if (done != 0) return done > 0;
    }
    return copy_through_buffer(in, offset, size, descriptor(out));
}

bool close_file(FileHandle file) {
    return ::close(descriptor(file)) == 0;
}

bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

void remove_file(const std::filesystem::path& path) {
    ::unlink(path.c_str());
}

PathKind path_kind(const std::filesystem::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return errno == ENOENT ? PathKind::missing : PathKind::other;
    return S_ISDIR(status.st_mode) ? PathKind::directory : PathKind::other;
}

bool make_directory(const std::filesystem::path& path) {
    return ::mkdir(path.c_str(), 0777) == 0;
}

}  // namespace kp
