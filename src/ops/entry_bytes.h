// Whether an entry's bytes can be read from the update file, and if not why, as data; and
// reading, copying and digesting them. Extraction, --sha256 and the library all ask here,
// and each says the answer in its own words.
#pragma once

#include <cstddef>
#include <string>

#include "archive/update_archive.h"
#include "fs/copy.h"
#include "ops/entry_problem.h"
#include "ops/sha256.h"

namespace kp {

// Why the bytes of a range could not be read, or not all of them.
struct BytesProblem {
    enum class Kind : unsigned char {
        none,
        outside_file,   // they reach `past_end` bytes past the end of the file, or of a stream that ended
        passed,         // a stream has gone past them, and is read only once
        read_failed,    // a read failed (`error`, `text`): `past_end` bytes were never got
        copy_failed,    // a write failed, or the file ended early since it was measured (`text` empty)
        digest_failed,  // the system's digest would not start or finish (`text`)
    };
    Kind kind = Kind::none;
    u64 past_end = 0;
    int error = 0;     // read_failed, copy_failed: the errno, where there was one
    std::string text;  // what the system, or a caller's read function, said
};

// What stops `range` from being read, as far as can be told before it is. A stream is
// read ahead until its buffer holds the range, where it can, so that one that ends first
// is found out before anything is made for the bytes.
BytesProblem bytes_problem(SourceFile& source, const ByteRange& range);

// Reads up to `size` bytes of `range` from `offset` within it into `buffer`: how many,
// fewer only at the range's end or where `problem` says why.
std::size_t read_bytes(SourceFile& source, const ByteRange& range, u64 offset, void* buffer, std::size_t size,
                       BytesProblem& problem);

// Appends the bytes of `range` to `out` in bounded memory, once bytes_problem finds
// nothing that stops them.
BytesProblem copy_bytes(SourceFile& source, const ByteRange& range, FileHandle out, const CopyProgress& progress = {});

// The SHA-256 of the bytes of `range`, in `digest` where nothing stopped it.
BytesProblem digest_bytes(SourceFile& source, const ByteRange& range, Sha256Digest& digest);

// Why an entry was not written, told of `problem`: a read that failed is a range the
// file ends before, with what the system said.
void tell_problem(const BytesProblem& problem, EntryProblem& into);

}  // namespace kp
