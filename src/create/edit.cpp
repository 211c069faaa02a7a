// The result of a change, planned from FILE's records and the files measured: nothing is
// written here.
#include "create/edit.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "create/create_tree.h"
#include "fs/file_path.h"
#include "ops/names.h"

namespace kp {

namespace {

std::string name_of(const DirectoryRecord& record) {
    return std::string(record_text(record.name));
}

// Whether the open `file` holds exactly the entry's own bytes, compared in pieces.
bool same_bytes(SourceFile& file, SourceFile& source, const EntryRecord& entry) {
    if (file.length != entry.record.size) return false;
    constexpr std::size_t piece = std::size_t{1} << 16;
    const auto mine = std::make_unique_for_overwrite<unsigned char[]>(piece);
    const auto theirs = std::make_unique_for_overwrite<unsigned char[]>(piece);
    for (u64 at = 0; at < file.length; at += piece) {
        const auto size = static_cast<std::size_t>(std::min<u64>(piece, file.length - at));
        if (read_up_to(file, at, mine.get(), size) != size ||
            read_up_to(source, entry.data_offset + at, theirs.get(), size) != size ||
            std::memcmp(mine.get(), theirs.get(), size) != 0)
            return false;
    }
    return true;
}

CreateFault fault_of(LeafKind kind) {
    return kind == LeafKind::missing      ? CreateFault::missing
           : kind == LeafKind::unreadable ? CreateFault::unreadable
                                          : CreateFault::not_regular;
}

// Opens and measures the piece's file, never following a link or waiting: its handle in
// `opened`, which the caller closes, and its first bytes in the piece's head.
bool measure_file(DirectoryWalk& walk, LastDirectory& last, EditPiece& piece, SourceFile& opened,
                  std::vector<CreateProblem>& problems) {
    CreateProblem problem;
    const char* leaf = nullptr;
    const FileHandle directory = place_of(walk, last, piece.file, leaf, problem);
    if (directory == no_file) {
        problems.push_back(problem);
        return false;
    }
    const LeafStatus named = measure_leaf(directory, file_path(leaf));
    if (named.kind == LeafKind::regular) opened.handle = open_measured(directory, leaf);
    piece.measured = opened.handle != no_file ? measure_open(opened.handle) : named;
    if (named.kind == LeafKind::regular && opened.handle == no_file) {
        piece.measured.kind = LeafKind::unreadable;
        piece.measured.text = last_error_text();
    }
    if (piece.measured.kind != LeafKind::regular) {
        problem = create_problem(fault_of(piece.measured.kind), piece.file.name, piece.measured.text);
        problem.kind = piece.measured.kind;
        problems.push_back(problem);
        return false;
    }
    if (piece.measured.size > largest_entry_size) {
        problems.push_back(create_problem(CreateFault::file_too_large, piece.file.name, {}, piece.measured.size));
        return false;
    }
    opened.length = piece.measured.size;
    piece.file.size = static_cast<u32>(opened.length);
    const auto own = static_cast<std::size_t>(std::min<u64>(opened.length, record_size));
    piece.head.fill(0);
    if (read_up_to(opened, 0, piece.head.data(), own) != own) {
        problems.push_back(create_problem(CreateFault::changed, piece.file.name));
        return false;
    }
    return true;
}

// The highest index number among the pieces, which appended entries count on from.
u32 highest_index(const std::vector<EditPiece>& pieces) {
    u32 highest = 0;
    for (const EditPiece& piece : pieces) highest = std::max(highest, piece.record.index);
    return highest;
}

void delete_entries(const EditRequest& request, EditPlan& plan, EditOutcome& outcome) {
    for (const std::string& name : request.deletes) {
        const auto named = [&name](const EditPiece& piece) { return name_of(piece.record) == name; };
        if (std::ranges::none_of(plan.pieces, named)) {
            const bool told = std::ranges::any_of(outcome.notes, [&name](const EditNote& note) {
                return note.kind == EditNote::Kind::deleted && note.name == name;
            });
            if (!told) outcome.problems.push_back(create_problem(CreateFault::no_entry, name, request.file));
            continue;
        }
        for (const EditPiece& piece : plan.pieces) {
            if (named(piece)) outcome.notes.push_back({EditNote::Kind::deleted, name, piece.record.index});
        }
        std::erase_if(plan.pieces, named);
    }
}

// Each file replaces the last entry of its name where its bytes differ, or is appended.
void update_entries(const EditRequest& request, const UpdateArchive& archive, SourceFile& source, DirectoryWalk& walk,
                    EditPlan& plan, EditOutcome& outcome) {
    std::vector<std::string> paths = request.paths;
    std::string reason;
    for (const std::string& list : request.lists) {
        if (!read_names_from(list, request.null, paths, reason))
            outcome.problems.push_back(create_problem(CreateFault::unreadable, list, reason));
    }
    if (paths.empty()) return;
    std::vector<NewEntry> files = gather_tree(walk, paths, request.excludes, outcome.problems);
    NewArchive appended;
    u32 next = highest_index(plan.pieces);
    LastDirectory last;
    for (NewEntry& file : files) {
        EditPiece piece;
        piece.file = std::move(file);
        SourceFile opened;
        const bool measured = measure_file(walk, last, piece, opened, outcome.problems);
        const auto same_name = [&piece](const EditPiece& other) { return name_of(other.record) == piece.file.name; };
        const auto found = std::ranges::find_if(plan.pieces.rbegin(), plan.pieces.rend(), same_name);
        if (measured && found != plan.pieces.rend() && found->kept) {
            const EntryRecord& entry = archive.entries[*found->kept];
            if (!same_bytes(opened, source, entry)) {
                outcome.notes.push_back({EditNote::Kind::replaced, piece.file.name, entry.record.index, piece.file.size,
                                         entry.record.size});
                piece.record = found->record;
                piece.record.size = piece.file.size;
                if (request.zero_signatures) {
                    piece.record.signature = {};
                } else if (piece.record.signature != std::array<u64, 4>{}) {
                    outcome.notes.push_back({EditNote::Kind::signatures_kept, piece.file.name, entry.record.index,
                                             piece.file.size, entry.record.size});
                }
                *found = std::move(piece);
            }
        } else if (measured) {
            piece.record = entry_record(piece.file.name, "", ++next, piece.file.size, {});
            outcome.notes.push_back({EditNote::Kind::appended, piece.file.name, next, piece.file.size});
            appended.entries.push_back(piece.file);
            plan.pieces.push_back(std::move(piece));
        }
        close_source(opened);
    }
    // A new name is held to the rules a new file's are.
    std::vector<CreateProblem> names;
    if (!appended.entries.empty()) check_new_archive(appended, names);
    for (CreateProblem& problem : names) {
        if (problem.fault != CreateFault::no_files) outcome.problems.push_back(std::move(problem));
    }
}

// Whether the data region begins at the last record and the first chunk's bytes there
// are not that record.
bool overlap_disagrees(const EditPlan& plan) {
    return plan.layout.has_overlap && plan.pieces[plan.layout.overlap].head != encode_record(plan.pieces.back().record);
}

void lay_out(EditPlan& plan) {
    plan.layout = layout_of_count(plan.pieces.size());
    for (std::size_t i = 0; i < plan.pieces.size(); ++i) add_to_layout(plan.layout, i, plan.pieces[i].record.size);
}

}  // namespace

bool plan_edit(const EditRequest& request, const UpdateArchive& archive, SourceFile& source, DirectoryWalk& walk,
               EditPlan& plan, EditOutcome& outcome) {
    const std::size_t count = archive.entries.size();
    plan.header = archive.header.record;
    plan.old_directory_end = record_size * (count + 1);
    plan.old_gap_end = archive.data_start;
    plan.trailing_from = std::max(archive_end(archive), plan.old_directory_end);
    for (std::size_t i = 0; i < count; ++i) {
        const EntryRecord& entry = archive.entries[i];
        EditPiece piece;
        piece.record = entry.record;
        piece.kept = static_cast<u32>(i);
        piece.offset = entry.data_offset;
        piece.chunk = entry.chunk_size;
        if (piece.chunk >= record_size) read_up_to(source, piece.offset, piece.head.data(), record_size);
        plan.pieces.push_back(std::move(piece));
    }
    delete_entries(request, plan, outcome);
    update_entries(request, archive, source, walk, plan, outcome);
    if (request.version_text) {
        const std::string& text = *request.version_text;
        if (text.size() > text_field_size) {
            outcome.problems.push_back(create_problem(CreateFault::version_too_long, {}, {}, text.size()));
        } else if (text.find('\0') != std::string::npos) {
            outcome.problems.push_back(create_problem(CreateFault::name_nul, "the version text"));
        } else {
            plan.header.name = text_field(text, "");
        }
    }
    if (plan.pieces.empty()) outcome.problems.push_back(create_problem(CreateFault::no_files));
    if (plan.pieces.size() > max_file_count)
        outcome.problems.push_back(create_problem(CreateFault::too_many_files, {}, {}, plan.pieces.size()));
    if (!outcome.problems.empty()) return false;
    lay_out(plan);
    if (overlap_disagrees(plan) && request.filler) {
        const std::string& name = *request.filler;
        const auto same = [&name](const EditPiece& piece) { return name_of(piece.record) == name; };
        if (const auto other = std::ranges::find_if(plan.pieces, same); other != plan.pieces.end()) {
            outcome.problems.push_back(
                create_problem(CreateFault::duplicate_name, name, {}, static_cast<u64>(other - plan.pieces.begin())));
            return false;
        }
        EditPiece filler;
        filler.filler = true;
        filler.file.name = name;
        filler.record = entry_record(name, "", highest_index(plan.pieces) + 1, 0, {});
        outcome.notes.push_back({EditNote::Kind::filler, name, filler.record.index});
        plan.pieces.push_back(std::move(filler));
        lay_out(plan);
    }
    if (overlap_disagrees(plan)) {
        outcome.problems.push_back(create_problem(CreateFault::overlap,
                                                  name_of(plan.pieces[plan.layout.overlap].record),
                                                  name_of(plan.pieces.back().record), plan.pieces.size()));
    }
    for (const EditPiece& piece : plan.pieces) {
        if (piece.kept && !ByteRange{piece.offset, piece.chunk}.lies_within(source.length)) {
            outcome.problems.push_back(create_problem(CreateFault::source_short, name_of(piece.record), request.file,
                                                      ByteRange{piece.offset, piece.chunk}.past(source.length)));
        }
    }
    if (plan.layout.end >= u64{1} << 32)
        outcome.problems.push_back(create_problem(CreateFault::archive_too_large, {}, {}, plan.layout.end));
    if (!outcome.problems.empty()) return false;
    plan.header.index = static_cast<u32>(plan.pieces.size());
    plan.header.size = static_cast<u32>(plan.layout.end / chunk_alignment);
    plan.length =
        plan.layout.file_length + (source.length > plan.trailing_from ? source.length - plan.trailing_from : 0);
    plan.changes = plan.header != archive.header.record || plan.pieces.size() != count;
    for (std::size_t i = 0; i < plan.pieces.size() && !plan.changes; ++i) plan.changes = plan.pieces[i].kept != i;
    return true;
}

}  // namespace kp
