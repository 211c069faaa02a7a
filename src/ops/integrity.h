// What the loader does not check: whether the data region is all there, and what would
// surprise someone extracting the archive.
#pragma once

#include "archive/update_archive.h"
#include "fs/copy.h"
#include "ops/names.h"
#include "ops/results.h"
#include "ops/selection.h"

namespace kp {

// Checks a loaded archive against the length of its file, with the name rules of
// extraction.
IntegrityReport check_integrity(const UpdateArchive& archive, u64 file_length, NameRules rules);

// The same for the archive's own file, open in `source` and measured when it was opened,
// with this platform's rules; a stream is read to its end first. The notes (refused
// names, repeated index numbers and names) leave out the entries `excludes` names;
// damage stays, whatever is excluded.
IntegrityReport check_archive_file(const UpdateArchive& archive, SourceFile& source, const Exclusions& excludes);

}  // namespace kp
