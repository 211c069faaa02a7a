#include "fs/copy.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "fs/stream.h"
#include "fs/testing.h"

namespace kp {

namespace {

// The most one copy_file_range or sendfile call is asked for: small enough that progress
// is told of often, large enough that the calls cost nothing next to the copying.
constexpr u64 largest_kernel_copy = u64{16} << 20;

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

bool copy_through_buffer(int in, u64 offset, u64 size, int out, const CopyProgress& progress) {
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(buffer_size);
    while (size > 0) {
        const auto wanted = static_cast<std::size_t>(std::min<u64>(size, buffer_size));
        const ssize_t got = ::pread(in, buffer.get(), wanted, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) errno = 0;  // the file ended early: no error of the system's
        if (got <= 0) return false;
        if (!write_all(out, buffer.get(), static_cast<std::size_t>(got))) return false;
        offset += static_cast<u64>(got);
        size -= static_cast<u64>(got);
        tell_copied(progress, static_cast<u64>(got));
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
        tell_copied(progress, wanted);
    }
    return true;
}

// Ranges smaller than this are written from a view of the source that stays mapped for
// the ranges after them: one write call a file, where a copy inside the kernel would cost
// a pass through its internal pipe for every few kilobytes.
constexpr u64 largest_small_copy = u64{64} << 10;
constexpr u64 small_copy_window = u64{256} << 10;  // small enough to leave the memory the process takes as it was

// Writes the range from the source's view, mapping the window it lies in first when the
// view does not hold it. False when it could not be mapped or written. The view's offset
// is in the file that holds the update file, where pages begin.
bool copy_from_view(SourceFile& source, u64 offset, u64 size, int out, const CopyProgress& progress) {
    const u64 at = source.base + offset;
    if (source.view == nullptr || at < source.view_offset || at + size > source.view_offset + source.view_size) {
        release_source(source);               // the view it holds
        if (offset + size > source.length) {  // the file as measured ends before it
            errno = 0;
            return false;
        }
        const u64 start = at - at % page_size();
        const u64 end = source.base + source.length;
        const u64 length = std::min(std::max(small_copy_window, at + size - start), end - start);
        void* view = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ, MAP_PRIVATE | MAP_POPULATE,
                            descriptor(source.handle), static_cast<off_t>(start));
        if (view == MAP_FAILED) return false;
        source.view = static_cast<const unsigned char*>(view);
        source.view_offset = start;
        source.view_size = length;
    }
    if (!write_all(out, source.view + (at - source.view_offset), static_cast<std::size_t>(size))) return false;
    tell_copied(progress, size);
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
        tell_copied(progress, static_cast<u64>(got));
    }
    return 1;
}

// What a copy that reached the source's limit ends with: the failure of a file that ended.
bool ended_at_limit() {
    errno = 0;
    return false;
}

}  // namespace

FileHandle standard_output() {
    return STDOUT_FILENO;
}

bool copy_range(SourceFile& source, u64 offset, u64 size, FileHandle out, const CopyProgress& progress) {
    const int in = descriptor(source.handle);
    if (size == 0) return true;
    if (source.stream) return copy_from_stream(source, offset, size, out, progress);
    if (const u64 within = within_limit(source, offset, size); within < size)
        return copy_range(source, offset, within, out, progress) && ended_at_limit();
    const u64 at = source.base + offset;
    if (portable_file_calls()) return copy_through_buffer(in, at, size, descriptor(out), progress);
    if (size <= largest_small_copy) return copy_from_view(source, offset, size, descriptor(out), progress);
    if (size >= smallest_viewed_copy && at % page_size() != 0 && is_regular_file(descriptor(out))) {
        return copy_through_views(in, at, size, descriptor(out), progress);
    }
    return copy_file_bytes(source, offset, size, out, progress);
}

bool copy_file_bytes(SourceFile& source, u64 offset, u64 size, FileHandle out, const CopyProgress& progress) {
    const int in = descriptor(source.handle);
    if (size == 0) return true;
    if (const u64 within = within_limit(source, offset, size); within < size)
        return copy_file_bytes(source, offset, within, out, progress) && ended_at_limit();
    offset += source.base;  // from here on, in the file that holds the update file
    if (portable_file_calls()) return copy_through_buffer(in, offset, size, descriptor(out), progress);
    // Inside the kernel where it can: between files on one file system that may share
    // the blocks, into a pipe without a pass through this process. A file-to-file copy
    // refused once (another file system) is not asked for again for every file.
    if (!source.kernel_copy_refused) {
        const u64 before = size;
        const int done = copy_in_kernel(copy_file_range_call, in, offset, size, descriptor(out), progress);
        if (done != 0) return done > 0;
        if (size == before) source.kernel_copy_refused = true;
    }
    const int done = copy_in_kernel(sendfile_call, in, offset, size, descriptor(out), progress);
    if (done != 0) return done > 0;
    return copy_through_buffer(in, offset, size, descriptor(out), progress);
}

}  // namespace kp
