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

// Leaves out of the notes (refused names, repeated index numbers and names) the entries
// that `selection` excludes; damage stays, whatever is excluded.
void exclude_from_notes(IntegrityReport& report, const UpdateArchive& archive, const Selection& selection);

// The same for the archive's own file, open in `source` and measured when it was opened,
// with this platform's rules; a stream is read to its end first.
IntegrityReport check_archive_file(const UpdateArchive& archive, SourceFile& source);

}  // namespace kp
