// Reading a source file by offset through its descriptor, and the view of it that copies
// keep.
#include "fs/source.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fs/stream.h"

namespace kp {

namespace {

void drop_view(SourceFile& source) {
    if (source.view != nullptr) ::munmap(const_cast<unsigned char*>(source.view), source.view_size);
    source.view = nullptr;
    source.view_size = 0;
}

}  // namespace

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

void release_source(SourceFile& source) {
    drop_view(source);
}

void close_source(SourceFile& source) {
    drop_view(source);
    if (source.handle != no_file) ::close(descriptor(source.handle));
    source.handle = no_file;
}

std::size_t read_up_to(SourceFile& source, u64 offset, void* buffer, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    if (source.stream) return read_stream_at(source, offset, bytes, size);
    const auto wanted = static_cast<std::size_t>(within_limit(source, offset, size));
    std::size_t done = 0;
    while (done < wanted) {
        const ssize_t got = ::pread(descriptor(source.handle), bytes + done, wanted - done,
                                    static_cast<off_t>(source.base + offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) errno = 0;  // the file ended: no error of the system's
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    if (done == wanted && wanted < size) errno = 0;  // the update file ends at its limit
    return done;
}

std::size_t read_once(SourceFile& source, u64 offset, void* buffer, std::size_t size) {
    const auto wanted = static_cast<std::size_t>(within_limit(source, offset, size));
    if (wanted == 0) {
        errno = 0;  // the update file ends at its limit
        return 0;
    }
    ssize_t got = 0;
    do {
        got = ::pread(descriptor(source.handle), buffer, wanted, static_cast<off_t>(source.base + offset));
    } while (got < 0 && errno == EINTR);
    if (got == 0) errno = 0;
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

}  // namespace kp
