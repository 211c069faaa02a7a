#include "fs/walk.h"

#include <algorithm>

#include "fs/file_path.h"

namespace kp {

namespace {

// Closes the `count` held directories used longest ago, but `keep`.
void evict(DirectoryWalk& walk, std::size_t count, FileHandle keep) {
    for (; count > 0 && !walk.held.empty(); --count) {
        auto oldest = walk.held.end();
        for (auto held = walk.held.begin(); held != walk.held.end(); ++held) {
            if (held->second.handle != keep && (oldest == walk.held.end() || held->second.used < oldest->second.used)) {
                oldest = held;
            }
        }
        if (oldest == walk.held.end()) return;
        close_directory(oldest->second.handle);
        walk.held.erase(oldest);
    }
}

void hold(DirectoryWalk& walk, std::filesystem::path::string_type key, FileHandle handle) {
    if (walk.capacity == 0) walk.capacity = held_directories_for(open_files_limit());
    if (walk.held.size() >= walk.capacity) evict(walk, walk.held.size() + 1 - walk.capacity, handle);
    walk.held.emplace(std::move(key), DirectoryWalk::Held{handle, ++walk.walks});
}

}  // namespace

std::size_t held_directories_for(std::size_t open_files) {
    return std::clamp<std::size_t>(open_files / 4, 1, most_held_directories);
}

namespace {

// Opens one part from `parent`; where no descriptor is left, half of those held go, and
// the walk holds no more than it has left from then on.
FileHandle open_part(DirectoryWalk& walk, FileHandle parent, const std::filesystem::path& part, DirectoryError& error) {
    FileHandle opened = open_subdirectory(parent, part, walk.create, walk.follow_links, error);
    if (opened == no_file && error.out_of_handles && !walk.held.empty()) {
        evict(walk, (walk.held.size() + 1) / 2, parent);
        walk.capacity = std::max<std::size_t>(walk.held.size(), 1);
        error = {};
        opened = open_subdirectory(parent, part, walk.create, walk.follow_links, error);
    }
    return opened;
}

}  // namespace

std::string parts_text(const std::vector<std::filesystem::path>& parts, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count && i < parts.size(); ++i) {
        if (i != 0) text += '/';
        text += path_text(parts[i]);
    }
    return text;
}

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
        const FileHandle opened = open_part(walk, directory, parts[reached], error);
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
