#include "mount/mount_tree.h"

#include <algorithm>
#include <set>

#include "mount/messages.h"

namespace kpmount {

namespace {

// Directories are numbered after every position, in the order they are made, so that
// a file's inode is its position and both stay the same from one mount to the next.
constexpr std::uint64_t first_directory_inode = std::uint64_t{1} << 32;

// The next part of `text` from `at` on that names something (not empty, not "."), in
// `part`; false after the last.
bool next_part(std::string_view text, std::size_t& at, std::string_view& part) {
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find('/', at), text.size());
        part = text.substr(at, end - at);
        at = end + 1;
        if (!part.empty() && part != ".") return true;
    }
    return false;
}

std::uint32_t add_node(MountTree& tree, MountNode::Kind kind, std::uint32_t position = 0) {
    MountNode node;
    node.kind = kind;
    node.position = position;
    tree.nodes.push_back(std::move(node));
    return static_cast<std::uint32_t>(tree.nodes.size() - 1);
}

std::uint32_t add_directory(MountTree& tree, std::uint64_t& next_directory) {
    const std::uint32_t made = add_node(tree, MountNode::Kind::directory);
    tree.nodes[made].inode = next_directory++;
    return made;
}

// Places the entry at `position` at its path, as extraction would write it; where
// extraction would refuse, says why instead, as extraction does.
void place(MountTree& tree, std::uint64_t& next_directory, std::uint32_t position) {
    const MountEntry& entry = tree.entries[position];
    if (entry.path.empty()) {
        tree.refused.push_back(entry.refusal);
        return;
    }
    std::vector<std::string_view> parts;
    std::string_view part;
    for (std::size_t at = 0; next_part(entry.path, at, part);) parts.push_back(part);
    std::uint32_t at = 0;
    std::string so_far;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (!so_far.empty()) so_far += '/';
        so_far += parts[i];
        const auto found = tree.nodes[at].children.find(parts[i]);
        if (found == tree.nodes[at].children.end()) {
            const std::uint32_t made = add_directory(tree, next_directory);
            tree.nodes[at].children.emplace(std::string(parts[i]), made);
            at = made;
        } else if (tree.nodes[found->second].kind == MountNode::Kind::directory) {
            at = found->second;
        } else {
            tree.refused.push_back(quoted(entry.name) + ": " + quoted(so_far) +
                                   ": not a directory (a file, or a link)");
            return;
        }
    }
    if (tree.nodes[at].children.contains(parts.back())) {
        // A directory made for earlier names: extraction cannot put a file there.
        tree.refused.push_back(quoted(entry.name) + ": Is a directory");
        return;
    }
    const std::uint32_t made = add_node(tree, MountNode::Kind::entry, position);
    tree.nodes[made].inode = std::uint64_t{position} + 2;
    tree.nodes[at].children.emplace(std::string(parts.back()), made);
}

}  // namespace

std::string control_directory(const std::vector<MountEntry>& entries) {
    std::set<std::string_view, std::less<>> taken;
    for (const MountEntry& entry : entries) {
        std::size_t at = 0;
        std::string_view first;
        if (next_part(entry.name, at, first) && first.starts_with(hidden_directory)) taken.insert(first);
    }
    std::string name(hidden_directory);
    for (std::uint32_t n = 1; taken.contains(name); ++n) name = std::string(hidden_directory) + '-' + std::to_string(n);
    return name;
}

MountTree build_mount_tree(std::vector<MountEntry> entries, std::string manifest) {
    MountTree tree;
    tree.entries = std::move(entries);
    tree.manifest = std::move(manifest);
    tree.control = control_directory(tree.entries);
    std::uint64_t next_directory = first_directory_inode;
    add_node(tree, MountNode::Kind::directory);
    tree.nodes[0].inode = 1;

    // Of several entries that write one file extraction keeps the latest; a name it
    // refuses is a file of its own, apart from every path.
    const auto count = static_cast<std::uint32_t>(tree.entries.size());
    std::vector<bool> shown(count);
    std::set<std::string, std::less<>> files;
    for (std::uint32_t position = count; position-- > 0;) {
        const MountEntry& entry = tree.entries[position];
        shown[position] = files.insert(entry.path.empty() ? '\0' + entry.name : entry.path).second;
    }
    for (std::uint32_t position = 0; position < count; ++position) {
        if (shown[position]) place(tree, next_directory, position);
    }

    // The document and every entry by position, beside the archive's own names and none
    // of them: the root holds only the first parts of names, and `control` is none.
    const std::uint32_t control = add_directory(tree, next_directory);
    tree.nodes[0].children.emplace(tree.control, control);
    const std::uint32_t document = add_node(tree, MountNode::Kind::manifest);
    tree.nodes[document].inode = next_directory++;
    tree.nodes[control].children.emplace("manifest.json", document);
    const std::uint32_t listing = add_directory(tree, next_directory);
    tree.nodes[control].children.emplace("by-position", listing);
    for (std::uint32_t position = 0; position < count; ++position) {
        const std::uint32_t made = add_node(tree, MountNode::Kind::entry, position);
        tree.nodes[made].inode = next_directory++;
        tree.nodes[listing].children.emplace(std::to_string(position), made);
    }
    return tree;
}

long find_node(const MountTree& tree, std::string_view path) {
    std::uint32_t at = 0;
    std::string_view part;
    for (std::size_t from = 0; next_part(path, from, part);) {
        const MountNode& node = tree.nodes[at];
        if (node.kind != MountNode::Kind::directory) return -1;
        const auto found = node.children.find(part);
        if (found == node.children.end()) return -1;
        at = found->second;
    }
    return at;
}

}  // namespace kpmount
