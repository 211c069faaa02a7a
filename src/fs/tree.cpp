#include "fs/tree.h"

#include <utility>

#include "fs/file_path.h"

namespace kp {

namespace {

struct Waiting {
    std::vector<std::filesystem::path> parts;
    std::string name;
};

// The items of the directory `parts` lead to; false, with the visit told why, when it
// could not be opened or read.
bool listing(DirectoryWalk& walk, const Waiting& directory, const TreeVisit& visit, std::vector<DirectoryItem>& items) {
    std::size_t reached = 0;
    DirectoryError error;
    const FileHandle handle = walk_to(walk, directory.parts, reached, error);
    if (handle != no_file) {
        if (read_directory(handle, items)) return true;
        error.text = last_error_text();
    }
    if (visit.unreadable != nullptr) visit.unreadable(visit.context, std::string(directory.name), error);
    return false;
}

std::string joined(const std::string& name, const std::filesystem::path& part) {
    return name.empty() ? path_text(part) : name + "/" + path_text(part);
}

bool skipped(const TreeVisit& visit, std::string_view name) {
    return visit.skip != nullptr && visit.skip(visit.context, name);
}

}  // namespace

void walk_tree(DirectoryWalk& walk, const std::vector<std::filesystem::path>& parts, const std::string& name,
               const TreeVisit& visit, const TreeLimits& limits) {
    std::vector<Waiting> waiting = {{parts, name}};
    std::vector<DirectoryItem> items;
    while (!waiting.empty()) {
        const Waiting directory = std::move(waiting.back());
        waiting.pop_back();
        items.clear();
        if (!listing(walk, directory, visit, items)) continue;
        for (DirectoryItem& item : items) {
            std::string inner = joined(directory.name, item.name);
            if (skipped(visit, inner)) continue;
            if (!item.directory) {
                if (visit.file != nullptr) visit.file(visit.context, std::move(inner), item.regular);
                continue;
            }
            Waiting below{directory.parts, std::move(inner)};
            below.parts.push_back(std::move(item.name));
            // A name below has one part more than the directory, and a separator and a byte.
            if (below.parts.size() + 1 <= limits.most_parts && below.name.size() + 2 <= limits.most_bytes) {
                waiting.push_back(std::move(below));
                continue;
            }
            std::vector<DirectoryItem> deeper;
            if (!listing(walk, below, visit, deeper)) continue;
            bool holds = false;
            for (const DirectoryItem& held : deeper) holds = holds || !skipped(visit, joined(below.name, held.name));
            if (visit.deep != nullptr) visit.deep(visit.context, std::move(below.name), holds);
        }
    }
}

}  // namespace kp
