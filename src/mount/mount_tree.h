// What a mount shows of a loaded update file: the tree extraction would write, and
// beside it, in a directory of its own (.kpupdate/), the listing's document and every
// entry by position.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "archive/update_archive.h"

namespace kp {

struct MountNode {
    enum class Kind : unsigned char { directory, entry, manifest };
    Kind kind = Kind::directory;
    u32 position = 0;  // entry: the directory position whose bytes it shows
    u64 inode = 0;     // stable for the file: from the position, or the directory's order
    std::map<std::string, u32, std::less<>> children;  // directory: name to node
};

struct MountTree {
    std::vector<MountNode> nodes;  // the root first
    std::string manifest;          // manifest.json's bytes, under `control`
    // What is not shown, a line each, as extraction would say it: "NAME: reason".
    std::vector<std::string> refused;
    std::string control;  // the root's directory of the document and by-position/
};

// The directory that holds the document and by-position/, at the root, where the
// archive names nothing there itself.
inline constexpr std::string_view hidden_directory = ".kpupdate";

// The name of that directory for `archive`: hidden_directory, or else the first of
// .kpupdate-1, .kpupdate-2, ... that no entry's name is, or begins with as its first
// part (leading separators and "." parts aside), so that it is never one of the
// archive's own and a script finds it by the same rule.
std::string control_directory(const UpdateArchive& archive);

// Builds the tree of `archive`: each name's latest entry, in the order extraction writes
// them, where extraction would write it; `manifest` is the document to show.
MountTree build_mount_tree(const UpdateArchive& archive, std::string manifest);

// The node at `path` ("/", "/a/b"), or -1 when there is none.
long find_node(const MountTree& tree, std::string_view path);

}  // namespace kp
