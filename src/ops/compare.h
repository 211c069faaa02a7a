// What changed between an update file and an older one, or the directory it was
// extracted to: entries matched by the file they write, bytes compared in bounded pieces.
#pragma once

#include <string>
#include <vector>

#include "archive/update_archive.h"
#include "fs/copy.h"
#include "ops/pattern.h"
#include "ops/results.h"

namespace kp {

// Compares the entries of `fresh` at `positions` with those of `old` at `old_positions`
// (each side's latest entry of every file, as select_entries gives them), each side read
// from its open source: the version texts, then for each file on both sides its index
// number, size, signatures and own bytes, which are read only where the sizes agree and
// only up to the first difference. A stream is read to its end.
void compare_archives(const UpdateArchive& fresh, const std::vector<u32>& positions, SourceFile& fresh_source,
                      const UpdateArchive& old, const std::vector<u32>& old_positions, SourceFile& old_source,
                      DiffReport& report);

// How a directory is compared.
struct DirectoryComparison {
    bool padded = false;                   // its files hold whole chunks, as --padded extracts them
    bool list_extra = false;               // its files that no entry names are listed
    const Exclusions* excludes = nullptr;  // names left out of what is listed; never null
};

// Compares the entries of `fresh` at `positions` with the files of the same names under
// `directory`, open already, each reached through the handles of the directories on its
// way: a file is the same when it holds exactly what extraction would write of the entry,
// its own bytes or with `padded` its whole chunk. A missing file, or one reached through a
// link, is added; a link, directory or other kind of file there is changed, and never
// read. With `list_extra`, the files under `directory` that no entry of `fresh` names are
// listed too (links not followed, names `excludes` takes left out), and each directory
// too deep for any name below it as itself, without entering it. A directory or file that
// cannot be opened or read is unreadable, never anything else. An entry whose own bytes
// lie past the end of `fresh_source` is damage, whatever the directory holds.
void compare_with_directory(const UpdateArchive& fresh, const std::vector<u32>& positions, SourceFile& fresh_source,
                            FileHandle directory, const DirectoryComparison& how, DiffReport& report);

}  // namespace kp
