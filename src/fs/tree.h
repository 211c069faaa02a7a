// Every name under a directory, each directory reached through the handles of those above
// it and never through a link, without recursion and without going deeper than a caller
// can use.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fs/walk.h"

namespace kp {

// What a walk over a tree meets. Names are the parts from the walk's root joined by '/'.
// Any call may be null.
struct TreeVisit {
    void* context = nullptr;
    // Whether `name` is left out, with everything below it.
    bool (*skip)(void* context, std::string_view name) = nullptr;
    // A name that is no directory (a link is not one); `regular` where the directory said
    // it is a regular file when it was read.
    void (*file)(void* context, std::string&& name, bool regular) = nullptr;
    // A directory not entered, since nothing below it could be named within the limits;
    // `holds` whether it holds any name that is not skipped.
    void (*deep)(void* context, std::string&& name, bool holds) = nullptr;
    // A directory that could not be opened or read: gone, swapped for something else, or
    // refused, as `error` says.
    void (*unreadable)(void* context, std::string&& name, const DirectoryError& error) = nullptr;
};

// How long a name below the root may be: a directory is entered only where a name below
// it can keep within both.
struct TreeLimits {
    std::size_t most_parts = ~std::size_t{0};
    std::size_t most_bytes = ~std::size_t{0};
};

// Visits every name below the directory that `parts` lead to from the walk's root, whose
// name is `name` (empty for the root itself), depth first, each directory read once, in
// byte order of the names' text. Memory grows with the names waiting to be visited, never
// with recursion.
void walk_tree(DirectoryWalk& walk, const std::vector<std::filesystem::path>& parts, const std::string& name,
               const TreeVisit& visit, const TreeLimits& limits = {});

}  // namespace kp
