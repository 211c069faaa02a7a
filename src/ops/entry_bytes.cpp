#include "ops/entry_bytes.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include "fs/stream.h"

namespace kp {

namespace {

// A digest reads this much at a time: it runs at the speed of memory, and a piece this
// large costs one read call per megabyte.
constexpr std::size_t digest_piece = std::size_t{1} << 20;

BytesProblem problem_of(BytesProblem::Kind kind, u64 past_end = 0, int error = 0, std::string text = {}) {
    return {kind, past_end, error, std::move(text)};
}

// A stream that has ended before `range` did: through a failed read, or at its end.
BytesProblem ended_before(const SourceFile& source, u64 past_end) {
    if (!source.read_failure.empty()) {
        return problem_of(BytesProblem::Kind::read_failed, past_end, source.read_error != 0 ? source.read_error : EIO,
                          source.read_failure);
    }
    return problem_of(BytesProblem::Kind::outside_file, past_end);
}

}  // namespace

BytesProblem bytes_problem(SourceFile& source, const ByteRange& range) {
    // A range past a stream's end is told as a file's would be, whether or not the stream
    // has gone past its start.
    if (stream_passed(source, range.offset, range.size) && range.lies_within(source.length))
        return problem_of(BytesProblem::Kind::passed);
    stream_read_ahead(source, range.offset, range.size);
    if (range.lies_within(source.length)) return {};
    if (source.stream) return ended_before(source, range.past(source.length));
    return problem_of(BytesProblem::Kind::outside_file, range.past(source.length));
}

std::size_t read_bytes(SourceFile& source, const ByteRange& range, u64 offset, void* buffer, std::size_t size,
                       BytesProblem& problem) {
    problem = {};
    if (offset >= range.size) return 0;
    const ByteRange piece{range.offset + offset, std::min<u64>(size, range.size - offset)};
    if (stream_passed(source, piece.offset, piece.size)) {
        problem = problem_of(BytesProblem::Kind::passed);
        return 0;
    }
    const std::size_t got = read_up_to(source, piece.offset, buffer, static_cast<std::size_t>(piece.size));
    if (got == piece.size) return got;
    const int error = errno;  // a file's: 0 where it ended
    // Where the file was cut since it was measured, its new end is no further than the read got.
    u64 past_end = range.past(source.length);
    if (past_end == 0) past_end = range.end() - (piece.offset + got);
    if (source.stream) {
        problem = ended_before(source, past_end);
    } else if (error != 0) {
        problem = problem_of(BytesProblem::Kind::read_failed, past_end, error, last_error_text());
    } else {
        problem = problem_of(BytesProblem::Kind::outside_file, past_end);
    }
    return got;
}

BytesProblem copy_bytes(SourceFile& source, const ByteRange& range, FileHandle out, const CopyProgress& progress) {
    if (BytesProblem problem = bytes_problem(source, range); problem.kind != BytesProblem::Kind::none) return problem;
    errno = 0;
    if (copy_range(source, range.offset, range.size, out, progress)) return {};
    // A stream that ended before the range did is the same as a file too short for it;
    // anything else is what the system said.
    if (source.stream && source.ended && !range.lies_within(source.length))
        return ended_before(source, range.past(source.length));
    const int error = errno;
    return problem_of(BytesProblem::Kind::copy_failed, 0, error, last_error_text());
}

BytesProblem digest_bytes(SourceFile& source, const ByteRange& range, Sha256Digest& digest) {
    if (BytesProblem problem = bytes_problem(source, range); problem.kind != BytesProblem::Kind::none) return problem;
    Sha256 sha;
    if (!sha256_begin(sha))
        return problem_of(BytesProblem::Kind::digest_failed, 0, 0, "the digest could not be started");
    const std::size_t room = static_cast<std::size_t>(std::min<u64>(std::max<u64>(range.size, 1), digest_piece));
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(room);
    BytesProblem problem;
    for (u64 done = 0; done < range.size && problem.kind == BytesProblem::Kind::none;) {
        const std::size_t got = read_bytes(source, range, done, buffer.get(), room, problem);
        sha256_add(sha, buffer.get(), got);
        done += got;
    }
    const bool ended = sha256_end(sha, digest);  // ends it either way, to release what it holds
    if (problem.kind == BytesProblem::Kind::none && !ended)
        return problem_of(BytesProblem::Kind::digest_failed, 0, 0, "the digest could not be finished");
    return problem;
}

void tell_problem(const BytesProblem& problem, EntryProblem& into) {
    switch (problem.kind) {
        case BytesProblem::Kind::none:
            into.failure = EntryFailure::none;
            return;
        case BytesProblem::Kind::outside_file:
        case BytesProblem::Kind::read_failed:
            into.failure = EntryFailure::outside_file;
            into.past_end = problem.past_end;
            into.system_text = problem.text;
            return;
        case BytesProblem::Kind::passed:
            into.failure = EntryFailure::passed;
            return;
        case BytesProblem::Kind::copy_failed:
        case BytesProblem::Kind::digest_failed:
            into.failure = EntryFailure::write;
            into.system_text = problem.text;
            return;
    }
}

}  // namespace kp
