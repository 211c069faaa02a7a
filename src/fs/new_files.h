// New files that take their name only once complete, made beside that name in its own
// directory.
#pragma once

#include <filesystem>
#include <string>

#include "fs/files.h"

namespace kp {

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

// Starts a new file for `leaf` inside `directory`, open to write and to read back: unnamed
// where the system can, else under a fresh temporary name beside it, 0600 until it takes
// its name and its mode (0666 less the umask on POSIX, or a replaced file's). False when
// none could be made. With `at_name_when_free` (POSIX), a free name is taken at once
// (O_EXCL): cheaper, and still removed if never completed, but others see it meanwhile.
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

}  // namespace kp
