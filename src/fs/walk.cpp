#include "fs/walk.h"

#include <algorithm>

#include "fs/file_path.h"

namespace kp {

namespace {

void hold(DirectoryWalk& walk, std::filesystem::path::string_type key, FileHandle handle) {
    if (walk.held.size() >= most_held_directories) {
        const auto oldest = std::min_element(walk.held.begin(), walk.held.end(), [](const auto& a, const auto& b) {
            return a.second.used < b.second.used;
        });
        close_directory(oldest->second.handle);
        walk.held.erase(oldest);
    }
    walk.held.emplace(std::move(key), DirectoryWalk::Held{handle, ++walk.walks});
}

}  // namespace

std::vector<std::filesystem::path> name_parts(std::string_view name) {
    std::vector<std::filesystem::path> parts;
    for (const std::filesystem::path& part : file_path(name)) {
        if (!part.empty() && part != ".") parts.push_back(part);
    }
    return parts;
}

FileHandle walk_to(DirectoryWalk& walk, const std::vector<std::filesystem::path>& parts, std::size_t& reached,
                   DirectoryError& error) {
    if (parts.empty()) return walk.root;
    std::vector<std::filesystem::path::string_type> keys(parts.size());
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) keys[i] = keys[i - 1] + std::filesystem::path::preferred_separator;
        keys[i] += parts[i].native();
    }
    FileHandle directory = walk.root;
    reached = parts.size();
    for (; reached > 0; --reached) {
        const auto found = walk.held.find(keys[reached - 1]);
        if (found != walk.held.end()) {
            found->second.used = ++walk.walks;
            directory = found->second.handle;
            break;
        }
    }
    for (; reached < parts.size(); ++reached) {
        const FileHandle opened = open_subdirectory(directory, parts[reached], walk.create, walk.follow_links, error);
        if (opened == no_file) return no_file;
        hold(walk, std::move(keys[reached]), opened);
        directory = opened;
    }
    return directory;
}

void walk_end(DirectoryWalk& walk) {
    for (const auto& [key, held] : walk.held) close_directory(held.handle);
    walk.held.clear();
}

}  // namespace kp
