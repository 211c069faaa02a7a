#include "create/create_tree.h"

#include <algorithm>

#include "fs/tree.h"
#include "ops/names.h"

namespace kp {

namespace {

struct Gathering {
    const Exclusions& excludes;
    std::vector<CreateProblem>& problems;
    std::vector<std::pair<std::string, bool>> names;  // and whether the directory listed a regular file
};

Gathering& of(void* context) {
    return *static_cast<Gathering*>(context);
}

// What the walk over a directory PATH meets: its files, its directories too deep for any
// name below them to fit a record, and those it could not read.
const TreeVisit gather_visit = {
    .context = nullptr,
    .skip = [](void* context, std::string_view name) { return is_excluded(of(context).excludes, name); },
    .file = [](void* context, std::string&& name,
               bool regular) { of(context).names.emplace_back(std::move(name), regular); },
    .deep =
        [](void* context, std::string&& name, bool holds) {
            if (!holds) return;  // nothing below it would be added
            const std::size_t parts = name_parts(name).size();
            of(context).problems.push_back(create_problem(CreateFault::too_deep, name, {}, name.size(), parts));
        },
    .unreadable =
        [](void* context, std::string&& name, const DirectoryError& error) {
            // Swapped for a link or a file meanwhile, or not to be read.
            const CreateFault fault =
                error.not_a_directory || error.missing ? CreateFault::path_part : CreateFault::unreadable;
            of(context).problems.push_back(create_problem(fault, name.empty() ? "." : name, error.text));
        },
};

// One PATH: its parts under the root, or a problem.
void gather_path(DirectoryWalk& walk, const std::string& path, Gathering& gathering) {
    const NameRules rules = native_name_rules();
    std::vector<std::filesystem::path> parts;
    std::string text;
    bool outside = path.empty() || is_name_separator(path[0], rules) ||
                   (rules == NameRules::windows && path.find(':') != std::string::npos);
    NameParts walked{path, rules};
    for (NamePart part; !outside && next_part(walked, part);) {
        outside = part.text == "..";
        if (part.names()) {
            parts.emplace_back(file_path(part.text));
            if (!text.empty()) text += '/';
            text += part.text;
        }
    }
    if (outside) {
        gathering.problems.push_back(create_problem(CreateFault::path_outside, path));
        return;
    }
    // A PATH under an excluded directory is excluded with it, as what a walk would find.
    if (!text.empty() && is_excluded(gathering.excludes, text)) return;
    TreeVisit visit = gather_visit;
    visit.context = &gathering;
    const TreeLimits limits{most_name_parts, longest_name};
    if (parts.empty()) return walk_tree(walk, parts, text, visit, limits);
    const std::filesystem::path leaf = parts.back();
    parts.pop_back();
    std::size_t reached = 0;
    DirectoryError error;
    const FileHandle directory = walk_to(walk, parts, reached, error);
    if (directory == no_file) {
        gathering.problems.push_back(create_problem(CreateFault::path_part, path, error.text));
        return;
    }
    const LeafStatus status = measure_leaf(directory, leaf);
    if (status.kind == LeafKind::missing) {
        gathering.problems.push_back(create_problem(CreateFault::missing, path, status.text));
    } else if (status.kind == LeafKind::directory) {
        parts.push_back(leaf);
        walk_tree(walk, parts, text, visit, limits);
    } else {
        // A link or a FIFO is refused with the rest, where it is looked at again by name.
        gathering.names.emplace_back(text, status.kind == LeafKind::regular);
    }
}

}  // namespace

std::vector<NewEntry> gather_tree(DirectoryWalk& walk, const std::vector<std::string>& paths,
                                  const Exclusions& excludes, std::vector<CreateProblem>& problems) {
    Gathering gathering{excludes, problems, {}};
    for (const std::string& path : paths) gather_path(walk, path, gathering);
    // Byte order of the names, as std::string compares them, makes the same tree the
    // same file on every system and file system.
    // One walk gives them in that order already.
    auto& names = gathering.names;
    const auto before = [](const auto& a, const auto& b) { return a.first < b.first; };
    if (!std::is_sorted(names.begin(), names.end(), before)) std::sort(names.begin(), names.end(), before);
    names.erase(
        std::unique(names.begin(), names.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
        names.end());
    std::vector<NewEntry> entries(names.size());
    for (std::size_t position = 0; position < entries.size(); ++position) {
        entries[position].name = std::move(names[position].first);
        entries[position].listed_regular = names[position].second;
        entries[position].index = static_cast<u32>(position);
    }
    return entries;
}

}  // namespace kp
