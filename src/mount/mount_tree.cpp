#include "mount/mount_tree.h"

#include "ops/names.h"
#include "ops/selection.h"
#include "report/reasons.h"

namespace kp {

namespace {

// Directories are numbered after every position, in the order they are made, so that
// a file's inode is its position and both stay the same from one mount to the next.
constexpr u64 first_directory_inode = u64{1} << 32;

u32 add_node(MountTree& tree, MountNode::Kind kind, u32 position = 0) {
    MountNode node;
    node.kind = kind;
    node.position = position;
    tree.nodes.push_back(std::move(node));
    return static_cast<u32>(tree.nodes.size() - 1);
}

u32 add_directory(MountTree& tree, u64& next_directory) {
    const u32 made = add_node(tree, MountNode::Kind::directory);
    tree.nodes[made].inode = next_directory++;
    return made;
}

std::string refusal(std::string_view name, const EntryProblem& problem) {
    return shell_quoted(name) + ": " + entry_reason(problem, false);
}

// Places the entry at `position` under `name`, as extraction would write it; false
// (with why) where extraction would refuse.
bool place(MountTree& tree, u64& next_directory, std::string_view name, u32 position) {
    EntryProblem problem;
    problem.name_fault = name_fault(name, NameRules::posix, &problem.part);
    if (problem.name_fault != NameFault::none) {
        problem.failure = EntryFailure::unsafe_name;
        tree.refused.push_back(refusal(name, problem));
        return false;
    }
    std::vector<std::string_view> parts;
    NameParts walk{name, NameRules::posix};
    for (NamePart part; next_part(walk, part);) {
        if (part.names()) parts.push_back(part.text);
    }
    u32 at = 0;
    std::string so_far;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (!so_far.empty()) so_far += '/';
        so_far += parts[i];
        const auto found = tree.nodes[at].children.find(parts[i]);
        if (found == tree.nodes[at].children.end()) {
            const u32 made = add_directory(tree, next_directory);
            tree.nodes[at].children.emplace(std::string(parts[i]), made);
            at = made;
        } else if (tree.nodes[found->second].kind == MountNode::Kind::directory) {
            at = found->second;
        } else {
            problem.failure = EntryFailure::directory;
            problem.part = so_far;
            problem.system_text = "not a directory (a file, or a link)";
            tree.refused.push_back(refusal(name, problem));
            return false;
        }
    }
    const auto found = tree.nodes[at].children.find(parts.back());
    if (found != tree.nodes[at].children.end()) {
        // A directory made for earlier names: extraction cannot put a file there.
        problem.failure = EntryFailure::write;
        problem.system_text = "Is a directory";
        tree.refused.push_back(refusal(name, problem));
        return false;
    }
    const u32 made = add_node(tree, MountNode::Kind::entry, position);
    tree.nodes[made].inode = u64{position} + 2;
    tree.nodes[at].children.emplace(std::string(parts.back()), made);
    return true;
}

}  // namespace

MountTree build_mount_tree(const UpdateArchive& archive, std::string manifest) {
    MountTree tree;
    tree.manifest = std::move(manifest);
    u64 next_directory = first_directory_inode;
    add_node(tree, MountNode::Kind::directory);
    tree.nodes[0].inode = 1;

    Selection everything;
    everything.all = true;
    for (const u32 position : select_entries(archive, everything).positions) {
        const std::string_view name = record_text(archive.entries[position].record.name);
        NameParts walk{name, NameRules::posix};
        NamePart first;
        while (next_part(walk, first) && !first.names()) {
        }
        if (first.text == hidden_directory) tree.own_hidden_directory = true;
        place(tree, next_directory, name, position);
    }

    // The document and every entry by position, beside the archive's own names.
    u32 hidden = 0;
    const auto found = tree.nodes[0].children.find(hidden_directory);
    if (found != tree.nodes[0].children.end() && tree.nodes[found->second].kind == MountNode::Kind::directory) {
        hidden = found->second;
    } else if (found == tree.nodes[0].children.end()) {
        hidden = add_directory(tree, next_directory);
        tree.nodes[0].children.emplace(std::string(hidden_directory), hidden);
    } else {
        return tree;  // a file of that name: the archive's own, shown as it is
    }
    if (!tree.nodes[hidden].children.contains("manifest.json")) {
        const u32 document = add_node(tree, MountNode::Kind::manifest);
        tree.nodes[document].inode = next_directory++;
        tree.nodes[hidden].children.emplace("manifest.json", document);
    }
    if (!tree.nodes[hidden].children.contains("by-position")) {
        const u32 listing = add_directory(tree, next_directory);
        tree.nodes[hidden].children.emplace("by-position", listing);
        for (u32 position = 0; position < archive.entries.size(); ++position) {
            const u32 made = add_node(tree, MountNode::Kind::entry, position);
            tree.nodes[made].inode = next_directory++;
            tree.nodes[listing].children.emplace(std::to_string(position), made);
        }
    }
    return tree;
}

long find_node(const MountTree& tree, std::string_view path) {
    u32 at = 0;
    NameParts walk{path, NameRules::posix};
    for (NamePart part; next_part(walk, part);) {
        if (!part.names()) continue;
        const MountNode& node = tree.nodes[at];
        if (node.kind != MountNode::Kind::directory) return -1;
        const auto found = node.children.find(part.text);
        if (found == node.children.end()) return -1;
        at = found->second;
    }
    return at;
}

}  // namespace kp
