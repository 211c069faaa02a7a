// The entries a tree gives: the regular files that PATHs name under a directory.
#pragma once

#include <string>
#include <vector>

#include "create/create.h"
#include "fs/walk.h"
#include "ops/pattern.h"

namespace kp {

// The entries for `paths`, relative to the walk's root: a file is itself, a directory
// ("." the root) every file below it, each directory read through its own handle and
// never through a link. Names are the paths from the root joined by '/', in byte order,
// each once, whatever order the file system lists them in; a name or directory that an
// exclusion matches is left out, with what is below it, a PATH under it too. A directory
// whose own name leaves no room below it for a name a record can hold (44 parts, 87
// bytes) is not entered: where it holds anything, that is a problem. Problems for a PATH
// that is absolute or climbs with "..", one that is missing, and a directory that cannot
// be read. Links and other kinds of file come back as names, which measuring refuses.
std::vector<NewEntry> gather_tree(DirectoryWalk& walk, const std::vector<std::string>& paths,
                                  const Exclusions& excludes, std::vector<CreateProblem>& problems);

}  // namespace kp
