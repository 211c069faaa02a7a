#include "fs/tree.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>

namespace kp {

namespace {

// A name waiting to be visited: a file, or a directory to list, or one too deep to enter.
struct Waiting {
    std::vector<std::filesystem::path> parts;  // a directory's, from the root
    std::string name;
    bool directory = true;
    bool regular = false;  // a file's: the directory listed a regular file
    bool deep = false;     // a directory's: not entered
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

std::string joined(const std::string& name, std::string_view part) {
    if (name.empty()) return std::string(part);
    std::string inner;
    inner.reserve(name.size() + 1 + part.size());
    return inner.append(name).append(1, '/').append(part);
}

bool skipped(const TreeVisit& visit, std::string_view name) {
    return visit.skip != nullptr && visit.skip(visit.context, name);
}

// One item of a listing, by its place in it, with the first eight bytes of what it sorts
// as, most significant first: most names differ within them, and a name holds no NUL
// for the zeros after a shorter one to be mistaken for.
struct Listed {
    std::uint64_t head = 0;
    std::string_view text;
    std::size_t item = 0;
    bool directory = false;
};

Listed listed_item(const DirectoryItem& item, std::size_t position) {
    Listed listed{0, item.name, position, item.directory};
    int shift = 56;
    for (std::size_t i = 0; i < item.name.size() && shift >= 0; ++i, shift -= 8) {
        listed.head |= std::uint64_t{static_cast<unsigned char>(item.name[i])} << shift;
    }
    if (item.directory && shift >= 0) listed.head |= std::uint64_t{'/'} << shift;
    return listed;
}

// Whether every name below `a` comes before every name below `b`, two items of one
// directory: a directory's name sorts as if it ended in '/', which no name holds, so that
// visiting each directory's items in this order visits every name in byte order.
bool sorts_before(const Listed& a, const Listed& b) {
    if (a.head != b.head) return a.head < b.head;
    const std::size_t common = std::min(a.text.size(), b.text.size());
    const int order = a.text.substr(0, common).compare(b.text.substr(0, common));
    if (order != 0) return order < 0;
    const auto next = [common](const Listed& listed) {
        return listed.text.size() > common ? static_cast<unsigned char>(listed.text[common])
               : listed.directory          ? '/'
                                           : -1;
    };
    return next(a) < next(b);
}

}  // namespace

void walk_tree(DirectoryWalk& walk, const std::vector<std::filesystem::path>& parts, const std::string& name,
               const TreeVisit& visit, const TreeLimits& limits) {
    std::vector<Waiting> waiting(1);
    waiting[0].parts = parts;
    waiting[0].name = name;
    std::vector<DirectoryItem> items;
    std::vector<Listed> listed;
    while (!waiting.empty()) {
        Waiting directory = std::move(waiting.back());
        waiting.pop_back();
        if (!directory.directory) {
            if (visit.file != nullptr) visit.file(visit.context, std::move(directory.name), directory.regular);
            continue;
        }
        items.clear();
        if (!listing(walk, directory, visit, items)) continue;
        if (directory.deep) {
            bool holds = false;
            for (const DirectoryItem& held : items) holds = holds || !skipped(visit, joined(directory.name, held.name));
            if (visit.deep != nullptr) visit.deep(visit.context, std::move(directory.name), holds);
            continue;
        }
        listed.clear();
        for (std::size_t i = 0; i < items.size(); ++i) listed.push_back(listed_item(items[i], i));
        std::sort(listed.begin(), listed.end(), sorts_before);
        // Last first: the stack gives them back in order, each directory's names before the next item's.
        for (auto at = listed.rbegin(); at != listed.rend(); ++at) {
            DirectoryItem& item = items[at->item];
            std::string inner = joined(directory.name, at->text);
            if (skipped(visit, inner)) continue;
            Waiting below;
            below.name = std::move(inner);
            below.directory = item.directory;
            below.regular = item.regular;
            if (item.directory) {
                below.parts = directory.parts;
                below.parts.push_back(std::move(item.native));
                // A name below has one part more than the directory, and a separator and a byte.
                below.deep = below.parts.size() + 1 > limits.most_parts || below.name.size() + 2 > limits.most_bytes;
            }
            waiting.push_back(std::move(below));
        }
    }
}

}  // namespace kp
