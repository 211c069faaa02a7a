// New files: made without a name where the file system allows, or under a temporary one,
// and named only once complete.
#include "fs/new_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "fs/interruptions.h"
#include "fs/testing.h"

namespace kp {

namespace {

bool portable_only = false;
bool proc_links_only = false;
bool exchange_always = false;

// Files made without a name (O_TMPFILE) and named by linking them once complete: the
// name then appears with every byte behind it, and costs the directory one entry
// instead of a temporary one and a rename. Not every file system makes them.
enum class Offered : unsigned char { unknown, yes, no };
std::atomic<Offered> unnamed_files = Offered::unknown;

// Errors that say the file system or kernel makes no unnamed files.
bool unnamed_file_refused(int error) {
    return error == EISDIR || error == EOPNOTSUPP || error == ENOTSUP || error == EINVAL;
}

int signal_inside_making = 0;  // a test's, raised inside the moment a file is made

// A fresh temporary name beside `leaf`, short enough for the handler's copy.
std::string temporary_for(const std::filesystem::path& leaf) {
    std::string name = leaf.native().substr(0, new_file_name_room - 32);
    return name + temporary_suffix();
}

// Cleans up after a failing call without losing what errno says of it.
template <typename Cleanup>
void keeping_errno(Cleanup cleanup) {
    const int saved = errno;
    cleanup();
    errno = saved;
}

// Links the file behind `fd` to `name` in `directory`: through the descriptor itself,
// or where the kernel allows that only to the privileged, through its /proc entry.
int link_unnamed(int fd, int directory, const char* name) {
    if (!proc_links_only) {
        if (::linkat(fd, "", directory, name, AT_EMPTY_PATH) == 0) return 0;
        if (errno != ENOENT && errno != EPERM) return -1;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), directory, name, AT_SYMLINK_FOLLOW);
}

// The process's umask, read once (reading it means setting it).
mode_t process_umask() {
    static const mode_t mask = [] {
        const mode_t found = ::umask(0);
        ::umask(found);
        return found;
    }();
    return mask;
}

// Whether the name the last file took held a file already. Extraction over a tree writes
// name after name that is taken, and a fresh one name after name that is free: a file
// is tried at its own name only while names have been free.
std::atomic<bool> names_taken = false;

// Whether a file on `device` replaces another more cheaply by exchanging names with it
// and removing the old one than by a rename over it. ext4 starts writing out a file
// renamed over another at once (a guard for programs that replace files without syncing
// them); an exchange it leaves to the usual writeback, as a newly created file. Asked
// of the file system once per device, and per thread, since a library's callers may
// write on several at once.
bool exchange_cheaper(int directory, dev_t device) {
    constexpr decltype(statfs::f_type) ext4_magic = 0xEF53;
    thread_local dev_t known_device = 0;
    thread_local bool known = false;
    thread_local bool cheaper = false;
    if (exchange_always) return true;
    if (!known || known_device != device) {
        struct statfs system {};
        cheaper = ::fstatfs(directory, &system) == 0 && system.f_type == ext4_magic;
        known_device = device;
        known = true;
    }
    return cheaper;
}

// A named temporary is made 0600, so that nobody else can read it while it is written;
// before it takes its name it gets the mode a new file has, or the permission bits of the
// regular file it replaces, less the umask as a new file's are: a file planted with 0777
// does not hand its planter a file he may write, and the set-id bits never pass. Says
// whether it should take the name by an exchange (see exchange_cheaper): only from a
// regular file, since a directory must never be moved aside.
bool take_final_mode(int fd, int directory, const char* leaf, Existing existing) {
    struct stat status {};
    const bool found = existing == Existing::replace && ::fstatat(directory, leaf, &status, AT_SYMLINK_NOFOLLOW) == 0;
    if (existing == Existing::replace) names_taken = found;
    const bool replaced = found && S_ISREG(status.st_mode);
    ::fchmod(fd, (replaced ? status.st_mode & 0777 : 0666) & ~process_umask());
    return replaced && !portable_only && exchange_cheaper(directory, status.st_dev);
}

// Names the file behind `fd`, which has no name yet, `leaf`; closes `fd` either way.
Placed place_unnamed(int fd, int directory, const char* leaf, Existing existing) {
    if (link_unnamed(fd, directory, leaf) == 0) {
        // Every byte must have reached the file for it to count: a failed close may mean
        // they did not. Nothing was at the name before it.
        if (::close(fd) == 0) return Placed::written;
        keeping_errno([&] { ::unlinkat(directory, leaf, 0); });
        return Placed::failed;
    }
    const int error = errno;
    if (error != EEXIST || existing != Existing::replace) {
        keeping_errno([&] { ::close(fd); });
        return error == EEXIST ? Placed::kept : Placed::failed;
    }
    take_final_mode(fd, directory, leaf, Existing::replace);
    // A temporary name, renamed over the one that is taken, with the signals held over
    // so that the handler never has to find it.
    const InterruptionsHeldOver held;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temporary = temporary_for(leaf);
        if (link_unnamed(fd, directory, temporary.c_str()) == 0) {
            if (::close(fd) == 0 && ::renameat(directory, temporary.c_str(), directory, leaf) == 0) {
                return Placed::written;
            }
            keeping_errno([&] { ::unlinkat(directory, temporary.c_str(), 0); });
            return Placed::failed;
        }
        if (errno != EEXIST) break;
    }
    keeping_errno([&] { ::close(fd); });
    return Placed::failed;
}

// Names the file `temporary`, behind `fd`, `leaf`; closes `fd` either way. Replacing
// renames it over what is there; keeping links it, which fails where the name is taken.
// The handler may remove the temporary until it is forgotten, after it was renamed or
// linked too: its name is then free or the link it keeps goes, so no signal is held off.
Placed place_named(int fd, int directory, const char* temporary, const char* leaf, Existing existing) {
    const bool exchange = take_final_mode(fd, directory, leaf, existing);
    Placed placed = Placed::failed;
    if (::close(fd) != 0) {
        placed = Placed::failed;
    } else if (existing == Existing::replace) {
        const bool moved = exchange ? replace_by_exchange(directory, temporary, leaf)
                                    : ::renameat(directory, temporary, directory, leaf) == 0;
        if (moved) placed = Placed::written;
    } else if (::linkat(directory, temporary, directory, leaf, 0) == 0) {
        placed = Placed::written;
    } else if (errno == EEXIST) {
        placed = Placed::kept;
    }
    if (placed != Placed::written || existing != Existing::replace) {
        keeping_errno([&] { ::unlinkat(directory, temporary, 0); });
    }
    forget_new_file();
    return placed;
}

}  // namespace

void use_portable_file_calls(bool portable) {
    portable_only = portable;
}

void use_proc_links_only(bool proc_only) {
    proc_links_only = proc_only;
}

void use_exchange_to_replace(bool exchange) {
    exchange_always = exchange;
}

void raise_inside_file_making(int signal_number) {
    signal_inside_making = signal_number;
}

bool replace_by_exchange(FileHandle directory_handle, const char* temporary, const char* leaf) {
    const int directory = descriptor(directory_handle);
    if (::renameat2(directory, temporary, directory, leaf, RENAME_EXCHANGE) != 0) {
        const bool no_exchange = errno == EINVAL || errno == ENOSYS || errno == ENOENT;
        return no_exchange && ::renameat(directory, temporary, directory, leaf) == 0;
    }
    if (::unlinkat(directory, temporary, 0) == 0) return true;
    keeping_errno([&] { ::renameat2(directory, temporary, directory, leaf, RENAME_EXCHANGE); });
    return false;
}

bool portable_file_calls() {
    return portable_only;
}

FileHandle open_temporary_directory(std::string& text) {
    const char* const named = std::getenv("TMPDIR");
    const char* const path = named != nullptr && *named != '\0' ? named : "/tmp";
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) text = std::string(path) + ": " + last_error_text();
    return fd < 0 ? no_file : fd;
}

bool create_pending_file(PendingFile& file, FileHandle directory, const std::filesystem::path& leaf,
                         bool at_name_when_free) {
    file.directory = directory;
    file.temporary.clear();
    file.at_name = false;
    const int dir = descriptor(directory);
    bool taken = false;  // the name is known to be taken: a named temporary and a rename replace it
    // Files are made and told to the handler with the signals held over, so that an
    // interruption finds each either not there or known.
    std::optional<InterruptionsHeldOver> held;
    if (at_name_when_free && !portable_only && names_taken) {
        taken = true;  // most likely: the way for a taken name, which serves a free one too
    } else if (at_name_when_free && !portable_only) {
        held.emplace();
        const int fd = ::openat(dir, leaf.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            if (signal_inside_making != 0) std::raise(signal_inside_making);
            remember_new_file(dir, leaf.native(), fd);
            file.handle = fd;
            file.temporary = leaf;
            file.at_name = true;
            return true;
        }
        taken = errno == EEXIST;
        names_taken = taken;
        if (!taken) held.reset();  // an unnamed file needs no telling
    }
    if (unnamed_files == Offered::unknown) {
        // Where the kernel links such a file only for the privileged, /proc does it.
        unnamed_files = ::access("/proc/self/fd", X_OK) == 0 ? Offered::yes : Offered::no;
    }
    if (!portable_only && !taken && unnamed_files == Offered::yes) {
        const int fd = ::openat(dir, ".", O_RDWR | O_TMPFILE | O_CLOEXEC, 0666);
        if (fd >= 0) {
            file.handle = fd;
            return true;
        }
        // This file system has none: named files from now on. Any other refusal (a
        // directory removed meanwhile says EPERM here) is the named way's to explain.
        if (unnamed_file_refused(errno)) unnamed_files = Offered::no;
    }
    if (!held) held.emplace();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temporary = temporary_for(leaf);
        const int fd = ::openat(dir, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            if (signal_inside_making != 0) std::raise(signal_inside_making);
            remember_new_file(dir, temporary, fd);
            file.handle = fd;
            file.temporary = temporary;
            return true;
        }
        if (errno != EEXIST) break;
    }
    return false;
}

Placed commit_pending_file(PendingFile& file, const std::filesystem::path& leaf, Existing existing) {
    const int fd = descriptor(file.handle);
    const int directory = descriptor(file.directory);
    file.handle = no_file;
    if (std::exchange(file.at_name, false)) {
        // Complete: from here an interruption leaves it. A failed close may mean that not
        // every byte reached it.
        forget_new_file();
        file.temporary.clear();
        if (::close(fd) == 0) return Placed::written;
        keeping_errno([&] { ::unlinkat(directory, leaf.c_str(), 0); });
        return Placed::failed;
    }
    if (file.temporary.empty()) return place_unnamed(fd, directory, leaf.c_str(), existing);
    const std::string temporary = std::exchange(file.temporary, {}).native();
    return place_named(fd, directory, temporary.c_str(), leaf.c_str(), existing);
}

void discard_pending_file(PendingFile& file) {
    if (file.handle != no_file) ::close(descriptor(file.handle));
    if (!file.temporary.empty()) {
        const InterruptionsHeldOver held;
        ::unlinkat(descriptor(file.directory), file.temporary.c_str(), 0);
        forget_new_file();
    }
    file.handle = no_file;
    file.temporary.clear();
    file.at_name = false;
}

}  // namespace kp
