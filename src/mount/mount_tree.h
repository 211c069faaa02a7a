// What a mount shows of an update file: the tree extraction would write, and beside it,
// in a directory of its own (.kpupdate/), the listing's document and every entry by
// position.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kpmount {

// One entry of FILE, as the library tells of it.
struct MountEntry {
    std::string name;     // the name field's bytes
    std::string path;     // where extraction writes it: its name's parts joined by '/'; empty where refused
    std::string refusal;  // then why, as extraction says it: "NAME: reason"
    std::uint32_t index = 0;
    std::uint64_t offset = 0;  // where its bytes lie in FILE
    std::uint64_t size = 0;    // its own bytes, or with -o padded its whole chunk
    std::uint64_t signatures[4] = {};
};

struct MountNode {
    enum class Kind : unsigned char { directory, entry, manifest };
    Kind kind = Kind::directory;
    std::uint32_t position = 0;  // entry: the directory position whose bytes it shows
    std::uint64_t inode = 0;     // stable for the file: from the position, or the directory's order
    std::map<std::string, std::uint32_t, std::less<>> children;  // directory: name to node
};

struct MountTree {
    std::vector<MountEntry> entries;  // by position
    std::vector<MountNode> nodes;     // the root first
    std::string manifest;             // manifest.json's bytes, under `control`
    // What is not shown, a line each, as extraction would say it: "NAME: reason".
    std::vector<std::string> refused;
    std::string control;  // the root's directory of the document and by-position/
};

// The directory that holds the document and by-position/, at the root, where the
// archive names nothing there itself.
inline constexpr std::string_view hidden_directory = ".kpupdate";

// The name of that directory for `entries`: hidden_directory, or else the first of
// .kpupdate-1, .kpupdate-2, ... that no entry's name is, or begins with as its first
// part (leading separators and "." parts aside), so that it is never one of the
// archive's own and a script finds it by the same rule.
std::string control_directory(const std::vector<MountEntry>& entries);

// Builds the tree of `entries`: each path's latest entry, in the order extraction writes
// them, where extraction would write it; `manifest` is the document to show.
MountTree build_mount_tree(std::vector<MountEntry> entries, std::string manifest);

// The node at `path` ("/", "/a/b"), or -1 when there is none.
long find_node(const MountTree& tree, std::string_view path);

}  // namespace kpmount
