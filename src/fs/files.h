// Directories reached from an open handle one part at a time, what a name in them is,
// and the system's words for what failed.
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

}  // namespace kp
