#include "ops/carve.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "fs/copy.h"
#include "ops/extraction.h"

namespace kp {

namespace {

CarveOutcome placed(PendingFile& file, const std::filesystem::path& leaf, CarveOutcome outcome, Existing existing) {
    outcome.placed = commit_pending_file(file, leaf, existing);
    if (outcome.placed == Placed::failed) outcome.system_text = last_error_text();
    return outcome;
}

CarveOutcome started(const CarveTarget& target, const FoundUpdate& found, PendingFile& file, bool& made) {
    CarveOutcome outcome;
    const std::string leaf = carved_leaf(found.hit.offset);
    outcome.path = written_path(target.directory_text, leaf);
    made = create_pending_file(file, target.directory, leaf, true);
    if (!made) outcome.system_text = last_error_text();
    return outcome;
}

}  // namespace

std::string carved_leaf(u64 offset) {
    char text[32];
    std::snprintf(text, sizeof text, "%08llx.update", static_cast<unsigned long long>(offset));
    return text;
}

CarveOutcome carve_from_file(SourceFile& source, const FoundUpdate& found, const CarveTarget& target) {
    PendingFile file;
    bool made = false;
    CarveOutcome outcome = started(target, found, file, made);
    if (!made) return outcome;
    const u64 offset = found.hit.offset;
    const u64 size = std::min(found.end, source.length) - offset;
    if (!copy_file_bytes(source, offset, size, file.handle)) {
        outcome.system_text = errno != 0 ? last_error_text() : "the file ended early, as it was read";
        discard_pending_file(file);
        return outcome;
    }
    return placed(file, carved_leaf(offset), std::move(outcome), target.existing);
}

bool carve_stream_begin(StreamCarving& carving, const FoundUpdate& found, CarveOutcome& refused) {
    bool made = false;
    CarveOutcome outcome = started(*carving.target, found, carving.file, made);
    if (!made) {
        refused = std::move(outcome);
        return false;
    }
    carving.outcome = std::move(outcome);
    carving.writing = true;
    carving.write_failed = false;
    carving.offset = found.hit.offset;
    carving.end = found.end;
    return true;
}

bool carve_stream_bytes(StreamCarving& carving, u64 offset, const unsigned char* bytes, std::size_t size) {
    if (!carving.writing) return false;
    const u64 from = std::max(offset, carving.offset);
    const u64 to = std::min(offset + size, carving.end);
    if (from < to && !carving.write_failed &&
        !write_all(carving.file.handle, bytes + (from - offset), static_cast<std::size_t>(to - from))) {
        carving.write_failed = true;
        carving.outcome.system_text = last_error_text();
    }
    return offset + size >= carving.end;
}

CarveOutcome carve_stream_end(StreamCarving& carving) {
    if (!carving.writing) return {};
    carving.writing = false;
    if (carving.write_failed) {
        discard_pending_file(carving.file);
        return std::move(carving.outcome);
    }
    return placed(carving.file, carved_leaf(carving.offset), std::move(carving.outcome), carving.target->existing);
}

}  // namespace kp
