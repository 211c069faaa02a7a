#include "ops/create_tree.h"

#include <algorithm>

#include "ops/names.h"
#include "ops/pattern.h"

namespace kp {

namespace {

struct Gathering {
    const std::vector<std::string>& excludes;
    std::vector<CreateProblem>& problems;
    std::vector<std::string> names;

    bool excluded(const std::string& name) const {
        return std::any_of(excludes.begin(), excludes.end(), [&name](const std::string& pattern) {
            return glob_match(pattern, name, native_name_rules());
        });
    }
};

// Every name below `directory`, after `prefix`.
void gather_below(FileHandle directory, const std::string& prefix, Gathering& gathering) {
    std::vector<DirectoryItem> items;
    if (!read_directory(directory, items)) {
        gathering.problems.push_back(
            create_problem(CreateFault::unreadable, prefix.empty() ? "." : prefix, last_error_text()));
        return;
    }
    for (const DirectoryItem& item : items) {
        const std::string name = prefix + path_text(item.name);
        if (gathering.excluded(name)) continue;
        if (!item.directory) {
            gathering.names.push_back(name);
            continue;
        }
        DirectoryError error;
        const FileHandle inner = open_subdirectory(directory, item.name, false, false, error);
        if (inner == no_file) {  // swapped for a link meanwhile, or unreadable
            gathering.problems.push_back(create_problem(CreateFault::path_part, name, error.text));
            continue;
        }
        gather_below(inner, name + "/", gathering);
        close_directory(inner);
    }
}

// One PATH: its parts under the root, or a problem.
void gather_path(DirectoryWalk& walk, const std::string& path, Gathering& gathering) {
    const NameRules rules = native_name_rules();
    std::vector<std::filesystem::path> parts;
    std::string text;
    bool outside = path.empty() || is_name_separator(path[0], rules) ||
                   (rules == NameRules::windows && path.find(':') != std::string::npos);
    for (std::size_t start = 0; start <= path.size() && !outside;) {
        std::size_t stop = start;
        while (stop < path.size() && !is_name_separator(path[stop], rules)) ++stop;
        const std::string part = path.substr(start, stop - start);
        outside = part == "..";
        if (!part.empty() && part != ".") {
            parts.emplace_back(file_path(part));
            if (!text.empty()) text += '/';
            text += part;
        }
        start = stop + 1;
    }
    if (outside) {
        gathering.problems.push_back(create_problem(CreateFault::path_outside, path));
        return;
    }
    if (parts.empty()) return gather_below(walk.root, "", gathering);
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
        const FileHandle inner = open_subdirectory(directory, leaf, false, false, error);
        if (inner == no_file) {
            gathering.problems.push_back(create_problem(CreateFault::path_part, path, error.text));
            return;
        }
        if (!gathering.excluded(text)) gather_below(inner, text + "/", gathering);
        close_directory(inner);
    } else if (!gathering.excluded(text)) {
        gathering.names.push_back(text);  // measured with the rest: a link or a FIFO is refused there
    }
}

}  // namespace

std::vector<NewEntry> gather_tree(DirectoryWalk& walk, const std::vector<std::string>& paths,
                                  const std::vector<std::string>& excludes, std::vector<CreateProblem>& problems) {
    Gathering gathering{excludes, problems, {}};
    for (const std::string& path : paths) gather_path(walk, path, gathering);
    // Byte order of the names, as std::string compares them, makes the same tree the
    // same file on every system and file system.
    std::sort(gathering.names.begin(), gathering.names.end());
    gathering.names.erase(std::unique(gathering.names.begin(), gathering.names.end()), gathering.names.end());
    std::vector<NewEntry> entries(gathering.names.size());
    for (std::size_t position = 0; position < entries.size(); ++position) {
        entries[position].name = std::move(gathering.names[position]);
        entries[position].index = static_cast<u32>(position);
    }
    return entries;
}

}  // namespace kp
