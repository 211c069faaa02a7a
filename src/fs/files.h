// The file-system calls that put extracted files in place: directories reached from an
// open handle one part at a time, and new files that take their name only complete.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fs/handle.h"

namespace kp {

// Opens the directory at `path` (empty: the current directory), following links as the
// user's own path: the one lookup by path that extraction makes. No_file when it fails.
FileHandle open_target_directory(const std::filesystem::path& path);

// Why a directory could not be opened.
struct DirectoryError {
    bool not_a_directory = false;  // something else is there: a file, or a link where links are refused
    bool missing = false;          // nothing is there
    bool out_of_handles = false;   // the process or the system has no descriptor or handle to spare
    std::string text;              // otherwise what the system said
};

// Opens the directory `part` (one component, never "." or "..") inside `parent`. With
// `create`, a missing one is made first (one made meanwhile by another process will
// do). Unless `follow_links`, a link or junction there fails as anything else that is
// not a directory does. No_file when it fails, with why in `error`.
FileHandle open_subdirectory(FileHandle parent, const std::filesystem::path& part, bool create, bool follow_links,
                             DirectoryError& error);

void close_directory(FileHandle directory);

// What a directory holds under one name, as a comparison with it may read it.
enum class Leaf : unsigned char {
    missing,
    other,       // a link, a directory, a device, a FIFO or a socket
    unreadable,  // something the system would not open for reading: last_error_text says why
    regular,     // a regular file, opened for reading
};

// Opens `leaf` inside `directory`, never following a link there and never waiting (a
// FIFO opens at once), and looks at what was opened: for a regular file, its handle in
// `opened` (to be closed by the caller) and its length.
Leaf open_leaf(FileHandle directory, const std::filesystem::path& leaf, FileHandle& opened, std::uint64_t& length);

// What tells one state of an open file from the next: its length, and when its bytes and
// its inode were last changed. Any write moves the change time, which no writer can set.
struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // in the system's own units
    std::int64_t changed = 0;
    bool operator==(const FileStamp&) const = default;
};

// The stamp of the open file `file`; false when the system would not say.
bool stamp_of(FileHandle file, FileStamp& stamp);

// How many descriptors or handles this process may have open at once; where the system
// sets no limit of its own, a large number.
std::size_t open_files_limit();

// One name a directory holds, and whether it is a directory itself (a link is not), or a
// regular file, as the directory said when it was read.
struct DirectoryItem {
    std::string name;              // its text, in UTF-8
    std::filesystem::path native;  // a directory's name as the system gives it, to open it by
    bool directory = false;
    bool regular = false;
};

// The names `directory` holds, but "." and "..", read through its handle. False when it
// could not be read.
bool read_directory(FileHandle directory, std::vector<DirectoryItem>& items);

// What a name in a directory is, looked at without following a link or opening it.
enum class LeafKind : unsigned char { missing, regular, directory, link, fifo, device, socket, other, unreadable };

// Which file a name leads to, for telling two names of one file apart from two files.
struct FileId {
    std::uint64_t volume = 0;
    std::uint64_t file = 0;
    bool operator==(const FileId&) const = default;
};

struct LeafStatus {
    LeafKind kind = LeafKind::missing;
    std::uint64_t size = 0;  // a regular file's length
    FileId id;
    FileStamp stamp;   // a regular file's
    std::string text;  // unreadable: what the system said
};

// What `leaf` inside `directory` is, never following a link there.
LeafStatus measure_leaf(FileHandle directory, const std::filesystem::path& leaf);

// What the open `file` is: its kind, and for a regular file its length, id and stamp. One
// look at a file already open, in place of a look by name before it is opened.
LeafStatus measure_open(FileHandle file);

// Moves where the next write to `file` lands to `offset`: a file's later part may be
// written before its beginning, which then fills what lies before it. False where the
// system refused.
bool set_write_position(FileHandle file, std::uint64_t offset);

// Opens `leaf` inside `directory` to read the regular file it was measured as, never
// following a link there and never waiting; no_file where it would not open. Where the
// system can, nothing is looked at yet: whatever was opened is known by `is_as_measured`
// once it is read, and its bytes are not used unless it is the file measured. One look
// per file in place of two, where a file is read whole in one call.
// `leaf` is its UTF-8 text: the end of a name the caller holds already, made into no path.
FileHandle open_measured(FileHandle directory, const char* leaf);

// Whether the open `file` is the regular file measured as `id` with `stamp`, unchanged
// since: then what was read from it is what it held from measuring until now.
bool is_as_measured(FileHandle file, const FileId& id, const FileStamp& stamp);

// A moment by the clock this system stamps the changes of files with, read before any
// file of a pass is opened. A file that shows no change since it can be known unchanged
// by one look after it is read, in place of one before the read and one after.
// A file system stamps each change of a file by that clock as it happens, or not: a
// network file system's server, or a layer over another, may not; nothing does on Windows.
struct ChangeWatch {
    std::int64_t since = 0;                    // in the units of FileStamp::changed
    bool usable = false;                       // the system has such a clock: not on Windows
    std::uint64_t volume = ~std::uint64_t{0};  // the file system of the file looked at last
    bool local = false;                        // whether it stamps changes by that clock
    FileHandle directory = no_file;            // the directory asked about last
    bool directory_local = false;              // the same of its file system
};

ChangeWatch start_change_watch();

// Whether files in `directory` are worth reading before they are looked at: its file
// system stamps changes by the watch's clock, so that one look after may do.
bool may_read_first(ChangeWatch& watch, FileHandle directory);

// Whether the regular file `file`, looked at as `status`, shows no change since `watch`
// began: its file system stamps each change by this system's own clock, not a server's,
// and its last change lies before that moment even where the stamp keeps whole seconds.
bool unchanged_since(ChangeWatch& watch, FileHandle file, const LeafStatus& status);

// The directory temporary files go into (TMPDIR, else /tmp; on Windows the user's
// temporary directory), opened; no_file with why in `text` when it would not open.
FileHandle open_temporary_directory(std::string& text);

// A file being written, which appears under its name only once complete.
struct PendingFile {
    FileHandle handle = no_file;
    FileHandle directory = no_file;   // where it is made and named
    std::filesystem::path temporary;  // its name while written, where it needs one
    bool at_name = false;             // made at its own name, which was free: `temporary` is that name
};

// Starts a new file inside `directory` for the name `leaf`, open for reading back as well
// as writing: without a name at all where the system offers that, or else under a
// temporary name beside it, created only where nothing held that name, readable by its
// owner alone (0600) until it takes its name and its mode: 0666 less the umask on POSIX,
// or a replaced file's. False when no file could be made. With `at_name_when_free`, on
// POSIX, a name nothing holds yet is taken at once (O_CREAT|O_EXCL): nothing is there to
// protect, it costs the file system no unnamed inode and no second link, and the file is
// removed again if it is not completed, by an interruption too. Others may then see it
// before it is complete.
bool create_pending_file(PendingFile& file, FileHandle directory, const std::filesystem::path& leaf,
                         bool at_name_when_free = false);

// What to do where the leaf's name is taken already.
enum class Existing : unsigned char {
    replace,  // put the new file there in one step; a replaced file's permission bits stay
    keep,     // leave it: the entry fails
    skip,     // leave it: the entry counts as done
};

enum class Placed : unsigned char { written, kept, failed };

// Closes the file and gives it the name `leaf` in its directory, as `existing` says.
// Kept when the name was taken and left alone; failed when its data may not all have
// reached it or it could not be named. Nothing of it is left behind unless written.
Placed commit_pending_file(PendingFile& file, const std::filesystem::path& leaf, Existing existing);

// Closes the file and removes it.
void discard_pending_file(PendingFile& file);

// Fills `size` bytes from the system's random source (getrandom, BCryptGenRandom): what
// no one watching the names a run makes can foretell. False when there is none.
bool system_random(void* data, std::size_t size);

// A suffix that makes a temporary name beside a target: ".kpupdate-" and 64 bits from the
// system's random source in 16 hexadecimal digits, so that no one can make the next name
// first.
std::string temporary_suffix();

// What the system said of the file call that failed last on this thread, in its own
// words ("No space left on device"); empty when it said nothing, as when a file ended
// early.
std::string last_error_text();

// From here until unguard_interruptions, every catchable signal that ends a process
// (Ctrl-C, Ctrl-\, a hang-up, a request to terminate, SIGUSR1, SIGUSR2, SIGALRM,
// SIGPIPE; on Windows Ctrl-C, Ctrl-Break or closing the console) removes the file being
// written and takes the progress line off the terminal before the process ends with the
// usual status for that signal; a signal ignored when the run began stays ignored. A
// write past the file-size limit fails with EFBIG instead of ending the process.
void guard_interruptions();
void unguard_interruptions();

// Makes every temporary name end in `suffix` instead of a random one, so that a test can
// put something at the name first; empty: random again. The program never calls it.
void use_temporary_suffix(std::string suffix);

// Makes the files layer take its portable ways only, as on a system without unnamed
// files or copies inside the kernel: named temporary files, and copies through a buffer.
// For tests of those ways; the program never calls it.
void use_portable_file_calls(bool portable);
bool portable_file_calls();

// Makes the files layer link an unnamed file through its /proc entry only, as where the
// kernel links a file by its descriptor for the privileged alone. For tests of that way;
// nothing on Windows, which has no unnamed files.
void use_proc_links_only(bool proc_only);

// Makes replacing exchange names with the old file and then remove it on every file
// system, not only where that is cheaper than a rename. For tests of that way; nothing on
// Windows.
void use_exchange_to_replace(bool exchange);

// Makes a process that guards itself raise `signal_number` (0: none) inside the moment
// a named file is made and not yet told to the handler, which holds the signal over to
// that moment's end. For tests of that moment; nothing on Windows.
void raise_inside_file_making(int signal_number);

// Puts the file `temporary` in `directory` at `leaf`, which held a regular file when
// last looked at, as replacing does by an exchange: a rename where the name is free by
// now, and where a directory took it meanwhile, the directory keeps it and this fails as
// a rename over it would. Exposed for tests of those moments; POSIX only.
bool replace_by_exchange(FileHandle directory, const char* temporary, const char* leaf);

}  // namespace kp
