// What a mount shows of a loaded update file: the tree extraction would write, and
// beside it, under .kpupdate/, the listing's document and every entry by position.
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
    std::string manifest;          // .kpupdate/manifest.json's bytes
    // What is not shown, a line each, as extraction would say it: "NAME: reason".
    std::vector<std::string> refused;
    bool own_hidden_directory = false;  // the archive names files under .kpupdate/ itself
};

// The directory that holds the document and by-position/, at the root.
inline constexpr std::string_view hidden_directory = ".kpupdate";

// Builds the tree of `archive`: each name's latest entry, in the order extraction writes
// them, where extraction would write it; `manifest` is the document to show.
MountTree build_mount_tree(const UpdateArchive& archive, std::string manifest);

// The node at `path` ("/", "/a/b"), or -1 when there is none.
long find_node(const MountTree& tree, std::string_view path);

}  // namespace kp
