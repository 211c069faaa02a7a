// Writing a planned change: the records, FILE's kept ranges copied inside the kernel, the
// files' bytes read once; and what was written loaded back before it is named.
#include <algorithm>
#include <array>
#include <string>

#include "console/console_platform.h"
#include "create/edit.h"
#include "fs/file_path.h"

namespace kp {

namespace {

bool write_zeros(FileHandle out, u64 size) {
    static constexpr std::array<unsigned char, chunk_alignment> zeros{};
    for (; size > 0; size -= std::min<u64>(size, zeros.size())) {
        if (!write_all(out, zeros.data(), static_cast<std::size_t>(std::min<u64>(size, zeros.size())))) return false;
    }
    return true;
}

// The header, the records and the gap: all that goes before the data. Where the data
// begins at the last record, that record is the first chunk's head, written with it.
std::string directory_bytes(const EditPlan& plan, SourceFile& source) {
    std::string bytes;
    const auto add = [&bytes](const DirectoryRecord& record) {
        const RecordBytes encoded = encode_record(record);
        bytes.append(reinterpret_cast<const char*>(encoded.data()), encoded.size());
    };
    add(plan.header);
    const std::size_t count = plan.pieces.size();
    for (std::size_t i = 0; i < count - (plan.layout.has_overlap ? 1 : 0); ++i) add(plan.pieces[i].record);
    if (plan.layout.data_start > plan.layout.directory_end) {
        // FILE's gap from its start, as far as the new gap holds it; zeros past it.
        const u64 gap = plan.layout.data_start - plan.layout.directory_end;
        const u64 old_gap = plan.old_gap_end > plan.old_directory_end ? plan.old_gap_end - plan.old_directory_end : 0;
        std::string kept(static_cast<std::size_t>(std::min(gap, old_gap)), '\0');
        kept.resize(read_up_to(source, plan.old_directory_end, kept.data(), kept.size()));
        bytes += kept;
        bytes.append(static_cast<std::size_t>(gap - kept.size()), '\0');
    }
    return bytes;
}

// The piece's file, opened again as it was measured: its bytes, then zero padding. False
// where it changed since, or grew.
bool copy_file_piece(const EditPiece& piece, DirectoryWalk& walk, LastDirectory& last, FileHandle out,
                     CreateProblem& problem) {
    const char* leaf = nullptr;
    const FileHandle directory = place_of(walk, last, piece.file, leaf, problem);
    if (directory == no_file) return false;
    SourceFile file;
    file.handle = open_measured(directory, leaf);
    file.length = piece.record.size;
    unsigned char after = 0;
    problem = create_problem(CreateFault::changed, piece.file.name);
    bool done = file.handle != no_file && copy_file_bytes(file, 0, file.length, out);
    if (!done && file.handle != no_file && !last_error_text().empty())
        problem = create_problem(CreateFault::write_failed, {}, last_error_text());
    done = done && read_up_to(file, file.length, &after, 1) == 0 &&
           is_as_measured(file.handle, piece.measured.id, piece.measured.stamp);
    close_source(file);
    if (done && !write_zeros(out, padded_size(piece.record.size) - piece.record.size)) {
        problem = create_problem(CreateFault::write_failed, {}, last_error_text());
        done = false;
    }
    return done;
}

}  // namespace

bool write_edit(const EditPlan& plan, SourceFile& source, DirectoryWalk& walk, FileHandle out, CreateProblem& problem) {
    const std::string head = directory_bytes(plan, source);
    if (!write_all(out, head.data(), head.size())) {
        problem = create_problem(CreateFault::write_failed, {}, last_error_text());
        return false;
    }
    LastDirectory last;
    for (const EditPiece& piece : plan.pieces) {
        if (piece.filler) continue;
        if (!piece.kept) {
            if (!copy_file_piece(piece, walk, last, out, problem)) return false;
        } else if (!copy_file_bytes(source, piece.offset, piece.chunk, out)) {
            problem = create_problem(CreateFault::write_failed, {}, last_error_text());
            return false;
        }
    }
    if (source.length > plan.trailing_from &&
        !copy_file_bytes(source, plan.trailing_from, source.length - plan.trailing_from, out)) {
        problem = create_problem(CreateFault::write_failed, {}, last_error_text());
        return false;
    }
    return true;
}

bool check_edit(const EditPlan& plan, SourceFile& written, u64 length, CreateProblem& problem) {
    UpdateArchive loaded;
    LoadProblem not_loaded;
    written.cursor = 0;
    const i32 count = load_archive(loaded, written, not_loaded, Grouping::left);
    std::string differs;
    if (count < 0 || static_cast<std::size_t>(count) != plan.pieces.size()) {
        differs = "it does not load as an update file of " + std::to_string(plan.pieces.size()) + " files";
    } else if (loaded.header.record != plan.header) {
        differs = "its header";
    }
    u64 offset = plan.layout.data_start;
    for (std::size_t i = 0; differs.empty() && i < plan.pieces.size(); ++i) {
        const EntryRecord& entry = loaded.entries[i];
        const std::string name(record_text(plan.pieces[i].record.name));
        if (entry.record != plan.pieces[i].record || entry.data_offset != offset) {
            differs = "the record of " + name;
        } else if (!chunk_bytes(entry).lies_within(length)) {
            differs = "where the bytes of " + name + " lie";
        }
        offset += entry.chunk_size;
    }
    if (differs.empty() && length != plan.length) differs = "its length";
    if (differs.empty()) return true;
    problem = create_problem(CreateFault::written_otherwise, {}, differs);
    return false;
}

}  // namespace kp
