#include <fcntl.h>
#include <sys/mman.h>
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

// The most one copy_file_range or sendfile call is asked for: small enough that progress
// is told of often, large enough that the calls cost nothing next to the copying.
constexpr u64 largest_kernel_copy = u64{16} << 20;

void report(const CopyProgress& progress, u64 bytes) {
    if (progress.add != nullptr) progress.add(progress.context, bytes);
}

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

bool copy_through_buffer(int in, u64 offset, u64 size, int out, const CopyProgress& progress) {
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(buffer_size);
    while (size > 0) {
        const auto wanted = static_cast<std::size_t>(std::min<u64>(size, buffer_size));
        const ssize_t got = ::pread(in, buffer.get(), wanted, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;  // an error, or the file ended early
        if (!write_all(out, buffer.get(), static_cast<std::size_t>(got))) return false;
        offset += static_cast<u64>(got);
        size -= static_cast<u64>(got);
        report(progress, static_cast<u64>(got));
    }
    return true;
}

// A large range that does not begin on a page boundary (chunks lie at multiples of 512)
// is copied from views of the source, a window at a time: the kernel's own file-to-file
// copy takes half as long again for such a range, since every page it moves is split.
constexpr u64 smallest_viewed_copy = u64{1} << 20;
constexpr u64 view_window = u64{8} << 20;

u64 page_size() {
    return static_cast<u64>(::sysconf(_SC_PAGESIZE));
}

bool is_regular_file(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

// Only the kernel touches a view's bytes, by writing them out, so a source cut short
// meanwhile fails that write instead of faulting in this process.
bool copy_through_views(int in, u64 offset, u64 size, int out, const CopyProgress& progress) {
    while (size > 0) {
        const u64 start = offset - offset % page_size();  // views begin on a page boundary
        const u64 wanted = std::min(size, view_window);
        const auto length = static_cast<std::size_t>(offset - start + wanted);
        void* view = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, in, static_cast<off_t>(start));
        if (view == MAP_FAILED) return false;
        const unsigned char* bytes = static_cast<const unsigned char*>(view) + (offset - start);
        bool written = true;
        for (u64 done = 0; done < wanted && written; done += buffer_size) {
            written = write_all(out, bytes + done, static_cast<std::size_t>(std::min<u64>(wanted - done, buffer_size)));
        }
        ::munmap(view, length);
        if (!written) return false;
        offset += wanted;
        size -= wanted;
        report(progress, wanted);
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
int copy_in_kernel(KernelCopy call, int in, u64& offset, u64& size, int out, const CopyProgress& progress) {
    while (size > 0) {
        auto position = static_cast<off_t>(offset);
        const auto wanted = static_cast<std::size_t>(std::min(size, largest_kernel_copy));
        const ssize_t got = call(in, &position, out, wanted);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return copy_not_offered(errno) ? 0 : -1;
        if (got == 0) return 0;
        offset += static_cast<u64>(got);
        size -= static_cast<u64>(got);
        report(progress, static_cast<u64>(got));
    }
    return 1;
}

// Files made without a name (O_TMPFILE), named by linking them through /proc once
// complete: the name then appears with every byte behind it, and costs the directory one
// entry instead of a temporary one and a rename. Not every file system makes them.
enum class Offered : unsigned char { unknown, yes, no };
Offered unnamed_files = Offered::unknown;

bool unnamed_files_offered() {
    if (unnamed_files == Offered::unknown) {
        unnamed_files = ::access("/proc/self/fd", X_OK) == 0 ? Offered::yes : Offered::no;
    }
    return unnamed_files == Offered::yes;
}

// Errors that say the file system or kernel makes no unnamed files.
bool unnamed_file_refused(int error) {
    return error == EISDIR || error == EOPNOTSUPP || error == ENOTSUP || error == EINVAL;
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

bool create_pending(NewFile& file, const std::filesystem::path& target) {
    file.temporary.clear();
    if (unnamed_files_offered()) {
        const std::filesystem::path directory = target.has_parent_path() ? target.parent_path() : ".";
        const int fd = ::open(directory.c_str(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666);
        if (fd >= 0) {
            file.handle = fd;
            return true;
        }
        if (!unnamed_file_refused(errno)) return false;
        unnamed_files = Offered::no;  // this file system has none: named files from now on
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        file.temporary = target;
        file.temporary += temporary_suffix();
        const int fd = ::open(file.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            file.handle = fd;
            return true;
        }
        if (errno != EEXIST) break;
    }
    file.temporary.clear();
    return false;
}

bool commit_pending(NewFile& file, const std::filesystem::path& target) {
    const int fd = descriptor(file.handle);
    file.handle = no_file;
    if (!file.temporary.empty()) {
        const bool placed = ::close(fd) == 0 && ::rename(file.temporary.c_str(), target.c_str()) == 0;
        if (!placed) ::unlink(file.temporary.c_str());
        return placed;
    }
    // A file without a name appears at the target complete, in one step, when nothing
    // is there; where something is, it gets a temporary name and replaces it by rename.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        if (::close(fd) == 0) return true;
        ::unlink(target.c_str());  // nothing was there before it
        return false;
    }
    bool placed = false;
    if (errno == EEXIST) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            file.temporary = target;
            file.temporary += temporary_suffix();
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, file.temporary.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                placed = ::rename(file.temporary.c_str(), target.c_str()) == 0;
                if (!placed) ::unlink(file.temporary.c_str());
                break;
            }
            if (errno != EEXIST) break;
        }
    }
    file.temporary.clear();
    return ::close(fd) == 0 && placed;
}

void discard_pending(NewFile& file) {
    if (file.handle != no_file) ::close(descriptor(file.handle));
    if (!file.temporary.empty()) ::unlink(file.temporary.c_str());
    file.handle = no_file;
    file.temporary.clear();
}

FileHandle standard_output() {
    return STDOUT_FILENO;
}

bool copy_range(const SourceFile& source, u64 offset, u64 size, FileHandle out, const CopyProgress& progress) {
    const int in = descriptor(source.handle);
    if (size >= smallest_viewed_copy && offset % page_size() != 0 && is_regular_file(descriptor(out))) {
        return copy_through_views(in, offset, size, descriptor(out), progress);
    }
    // Inside the kernel where it can: between files on one file system that may share
    // the blocks, into a pipe without a pass through this process.
    for (const KernelCopy call : {copy_file_range_call, sendfile_call}) {
        const int done = copy_in_kernel(call, in, offset, size, descriptor(out), progress);
        if (done != 0) return done > 0;
    }
    return copy_through_buffer(in, offset, size, descriptor(out), progress);
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
