#include "mount/mount_tree.h"

#include <set>

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

// The first part of `name` that names something; empty where none does.
std::string_view first_part(std::string_view name) {
    NameParts walk{name, NameRules::posix};
    for (NamePart part; next_part(walk, part);) {
        if (part.names()) return part.text;
    }
    return {};
}

}  // namespace

std::string control_directory(const UpdateArchive& archive) {
    std::set<std::string_view, std::less<>> taken;
    for (const EntryRecord& entry : archive.entries) {
        const std::string_view first = first_part(record_text(entry.record.name));
        if (first.starts_with(hidden_directory)) taken.insert(first);
    }
    std::string name(hidden_directory);
    for (u32 n = 1; taken.contains(name); ++n) name = std::string(hidden_directory) + '-' + std::to_string(n);
    return name;
}

MountTree build_mount_tree(const UpdateArchive& archive, std::string manifest) {
    MountTree tree;
    tree.manifest = std::move(manifest);
    tree.control = control_directory(archive);
    u64 next_directory = first_directory_inode;
    add_node(tree, MountNode::Kind::directory);
    tree.nodes[0].inode = 1;

    Selection everything;
    everything.all = true;
    for (const u32 position : select_entries(archive, everything).positions) {
        place(tree, next_directory, record_text(archive.entries[position].record.name), position);
    }

    // The document and every entry by position, beside the archive's own names and none
    // of them: the root holds only the first parts of names, and `control` is none.
    const u32 control = add_directory(tree, next_directory);
    tree.nodes[0].children.emplace(tree.control, control);
    const u32 document = add_node(tree, MountNode::Kind::manifest);
    tree.nodes[document].inode = next_directory++;
    tree.nodes[control].children.emplace("manifest.json", document);
    const u32 listing = add_directory(tree, next_directory);
    tree.nodes[control].children.emplace("by-position", listing);
    for (u32 position = 0; position < archive.entries.size(); ++position) {
        const u32 made = add_node(tree, MountNode::Kind::entry, position);
        tree.nodes[made].inode = next_directory++;
        tree.nodes[listing].children.emplace(std::to_string(position), made);
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
