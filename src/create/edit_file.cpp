// One change made into one file, or nothing at all: FILE opened once, the result built
// beside its name, loaded back and named only once complete.
#include <system_error>

#include "create/edit.h"
#include "fs/file_path.h"
#include "fs/interruptions.h"
#include "fs/new_files.h"

namespace kp {

namespace {

// A name in a directory opened once, which every later step uses.
struct Place {
    FileHandle directory = no_file;
    std::filesystem::path leaf;
    std::string text;  // the leaf in UTF-8
};

bool open_place(const std::string& name, Place& place, CreateProblem& problem) {
    const std::filesystem::path path = file_path(name);
    place.leaf = path.filename();
    place.text = path_text(place.leaf);
    if (name.empty() || place.leaf.empty() || place.leaf == "." || place.leaf == "..") {
        const std::errc error = name.empty() ? std::errc::no_such_file_or_directory : std::errc::is_a_directory;
        problem = create_problem(CreateFault::write_failed, name, std::make_error_code(error).message());
        return false;
    }
    place.directory = open_target_directory(path.parent_path());
    if (place.directory == no_file) problem = create_problem(CreateFault::write_failed, name, last_error_text());
    return place.directory != no_file;
}

CreateProblem not_regular(const std::string& name, const LeafStatus& there) {
    if (there.kind == LeafKind::missing) {
        return create_problem(CreateFault::missing, name,
                              std::make_error_code(std::errc::no_such_file_or_directory).message());
    }
    CreateProblem problem = create_problem(CreateFault::edit_not_regular, name, there.text);
    problem.kind = there.kind;
    return problem;
}

// Opens FILE through its directory, never following a link or waiting, and loads it.
bool open_file(const EditRequest& request, Place& place, SourceFile& source, LeafStatus& status, UpdateArchive& archive,
               EditOutcome& outcome) {
    CreateProblem problem;
    if (!open_place(request.file, place, problem)) {
        problem.fault = CreateFault::unreadable;
        outcome.problems.push_back(problem);
        return false;
    }
    const LeafStatus named = measure_leaf(place.directory, place.leaf);
    if (named.kind == LeafKind::regular) source.handle = open_measured(place.directory, place.text.c_str());
    if (named.kind == LeafKind::regular && source.handle == no_file) {
        outcome.problems.push_back(create_problem(CreateFault::unreadable, request.file, last_error_text()));
        return false;
    }
    status = source.handle != no_file ? measure_open(source.handle) : named;
    if (status.kind != LeafKind::regular) {
        outcome.problems.push_back(not_regular(request.file, status));
        return false;
    }
    source.length = status.size;
    outcome.load_failed = load_archive(archive, source, outcome.load, Grouping::left) < 0;
    return !outcome.load_failed;
}

// Where the result goes: FILE's own name, or --out's, which must hold nothing or a
// regular file (and nothing, with keep).
bool open_target(const EditRequest& request, Place& target, EditOutcome& outcome) {
    CreateProblem problem;
    if (!open_place(*request.out, target, problem)) {
        outcome.problems.push_back(problem);
        return false;
    }
    const LeafStatus there = measure_leaf(target.directory, target.leaf);
    if (there.kind != LeafKind::missing && there.kind != LeafKind::regular) {
        outcome.problems.push_back(not_regular(*request.out, there));
    } else if (there.kind == LeafKind::regular && request.keep) {
        outcome.problems.push_back(create_problem(CreateFault::kept, *request.out));
    }
    return outcome.problems.empty();
}

// Builds the result without a name, loads it back and names it; nothing of it is left
// where any step fails. In place, FILE must still be there, unchanged, when it is replaced.
bool build(const EditRequest& request, const EditPlan& plan, SourceFile& source, const LeafStatus& status,
           DirectoryWalk& walk, const Place& target, CreateProblem& problem) {
    const std::string& name = request.out.value_or(request.file);
    PendingFile pending;
    if (!create_pending_file(pending, target.directory, target.leaf)) {
        problem = create_problem(CreateFault::write_failed, name, last_error_text());
        return false;
    }
    bool done = write_edit(plan, source, walk, pending.handle, problem);
    if (problem.fault == CreateFault::write_failed) problem.subject = name;
    SourceFile written;
    written.handle = pending.handle;
    written.length = done ? measure_open(pending.handle).size : 0;
    done = done && check_edit(plan, written, written.length, problem);
    release_source(written);
    if (done && !is_as_measured(source.handle, status.id, status.stamp)) {
        problem = create_problem(CreateFault::changed, request.file);
        done = false;
    }
    const LeafStatus there = done ? measure_leaf(target.directory, target.leaf) : LeafStatus{};
    if (done && !request.out && (there.kind != LeafKind::regular || !(there.id == status.id))) {
        problem = create_problem(CreateFault::changed, request.file);  // another file took its name
        done = false;
    } else if (done && there.kind != LeafKind::missing && there.kind != LeafKind::regular) {
        problem = not_regular(name, there);
        done = false;
    }
    if (!done) {
        discard_pending_file(pending);
        return false;
    }
    // FILE is let go of first: Windows replaces no file that is open without delete sharing.
    close_source(source);
    const Placed placed = commit_pending_file(pending, target.leaf, request.keep ? Existing::keep : Existing::replace);
    if (placed == Placed::kept) problem = create_problem(CreateFault::kept, name);
    if (placed == Placed::failed) problem = create_problem(CreateFault::write_failed, name, last_error_text());
    return placed == Placed::written;
}

}  // namespace

EditOutcome edit_update_file(const EditRequest& request, FileHandle root, const std::string& root_name,
                             const std::string& root_error) {
    EditOutcome outcome;
    Place place;
    Place target;
    SourceFile source;
    LeafStatus status;
    UpdateArchive archive;
    DirectoryWalk walk;
    walk.root = root;
    EditPlan plan;
    const bool reads_tree = !request.paths.empty() || !request.lists.empty();
    if (reads_tree && root == no_file) {
        outcome.problems.push_back(create_problem(CreateFault::unreadable, root_name, root_error));
    } else if (open_file(request, place, source, status, archive, outcome) &&
               plan_edit(request, archive, source, walk, plan, outcome)) {
        if (!plan.changes && !request.out) {
            outcome.result = EditResult::unchanged;
        } else if (!request.out || open_target(request, target, outcome)) {
            if (request.guard) guard_interruptions();
            CreateProblem problem;
            const bool done = build(request, plan, source, status, walk, request.out ? target : place, problem);
            if (request.guard) unguard_interruptions();
            if (done) outcome.result = EditResult::written;
            if (!done) outcome.problems.push_back(problem);
        }
    }
    if (outcome.result == EditResult::refused) outcome.notes.clear();  // nothing of them was done
    walk_end(walk);
    close_source(source);
    close_directory(place.directory);
    close_directory(target.directory);
    return outcome;
}

}  // namespace kp
