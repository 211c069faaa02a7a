// --sha256: the digest of each selected entry's own bytes, under the name extraction
// would write it as, so that sha256sum -c checks an extracted tree.
#pragma once

#include <optional>
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

// Every entry's digest of its own bytes, for --json, by position: none where not all of
// them could be read (a cut file, a stream that passed them or ended first).
struct EntrySums {
    EntrySums() = default;
    EntrySums(const EntrySums&) = delete;
    EntrySums& operator=(const EntrySums&) = delete;
    ~EntrySums();  // a digest still under way, where the run ended before its bytes did, is let go
    std::vector<std::optional<Sha256Digest>> sums;
    // A stream's, as it passes: how much of each entry went into its digest, begun at its first byte.
    std::vector<u64> seen;
    std::vector<Sha256> running;
    StreamTap under;  // the tap these were set over, still told of every byte
    const UpdateArchive* archive = nullptr;
};

// Gathers them from `source` right after the load: a file's at once; a stream's as the
// run reads past its bytes, so that it is still read once. entry_sums_done ends that,
// before whatever set the tap under it is ended.
void gather_entry_sums(const UpdateArchive& archive, SourceFile& source, EntrySums& sums);
void entry_sums_done(SourceFile& source, EntrySums& sums);

// The digest in lower-case hexadecimal, as sha256sum prints it.
std::string hex_of(const Sha256Digest& digest);

}  // namespace kp
