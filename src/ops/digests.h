// --sha256: the digest of each selected entry's own bytes, under the name extraction
// would write it as, so that sha256sum -c checks an extracted tree.
#pragma once

#include <string>
#include <vector>

#include "archive/update_archive.h"
#include "ops/entry_problem.h"
#include "ops/selection.h"
#include "ops/sha256.h"

namespace kp {

struct EntryDigest {
    u32 position = 0;
    std::string name;  // as extraction writes it: --strip-components applied
    Sha256Digest digest{};
    bool done = false;
    EntryProblem problem;  // why there is none: a name extraction refuses, bytes the file lacks
};

// The digests of the entries `selected` picks, in directory order, read from `source`
// (a stream in the order it arrives); an entry that --strip-components leaves no name
// of has none and no line.
std::vector<EntryDigest> entry_digests(const UpdateArchive& archive, const SelectedEntries& selected, u32 strip,
                                       SourceFile& source);

// The digest in lower-case hexadecimal, as sha256sum prints it.
std::string hex_of(const Sha256Digest& digest);

}  // namespace kp
