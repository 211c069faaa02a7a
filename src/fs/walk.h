// Names under a directory, reached through handles one part at a time and never by a
// path again. The directories on the way are held open by their parts for the names
// after them, so that each is opened once however the names alternate between them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fs/files.h"

namespace kp {

// The most directories held at once: every directory of an archive laid out directory
// by directory, or one whose names alternate between a few hundred. When more are
// needed, the one used longest ago is closed.
inline constexpr std::size_t most_held_directories = 256;

// How many a walk holds where the process may have `open_files` descriptors open: a
// quarter of them, leaving the rest to the files being read and written, at least one
// and at most most_held_directories.
std::size_t held_directories_for(std::size_t open_files);

struct DirectoryWalk {
    FileHandle root = no_file;  // where every walk starts; not closed by walk_end
    bool create = false;        // missing directories are made
    bool follow_links = false;  // a link or junction on the way is followed, not refused
    std::size_t capacity = 0;   // the most held at once; 0: held_directories_for the process's limit
    struct Held {
        FileHandle handle = no_file;
        std::uint64_t used = 0;  // when it was last walked through
    };
    // By the parts that lead to each, joined by the separator, which no part holds.
    std::unordered_map<std::filesystem::path::string_type, Held> held;
    std::uint64_t walks = 0;
};

// The parts of `name` that name something, as the file system splits it: "a//b" and
// "a/./b" are "a/b", and on Windows so is "a\b".
std::vector<std::filesystem::path> name_parts(std::string_view name);

// The first `count` of `parts` as the text of a name: joined by '/', as UTF-8.
std::string parts_text(const std::vector<std::filesystem::path>& parts, std::size_t count);

// The directory that `parts` lead to from the root: held already, or opened (or made)
// from the deepest one held on the way. Where the process runs out of descriptors, half
// of those held are closed and the part is opened once more. No_file when a part cannot
// be opened: `reached` then counts the parts before it, and `error` says why.
FileHandle walk_to(DirectoryWalk& walk, const std::vector<std::filesystem::path>& parts, std::size_t& reached,
                   DirectoryError& error);

// Closes every directory the walk holds, but the root.
void walk_end(DirectoryWalk& walk);

}  // namespace kp
