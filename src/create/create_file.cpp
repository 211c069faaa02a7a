#include "create/create_file.h"

#include <algorithm>
#include <system_error>

#include "console/console_platform.h"
#include "create/create_tree.h"
#include "create/manifest.h"
#include "fs/file_path.h"
#include "fs/interruptions.h"
#include "fs/new_files.h"
#include "fs/stream.h"
#include "ops/names.h"

namespace kp {

namespace {

// Where NEW is made and named, opened at the start; or standard output.
struct NewTarget {
    bool to_stdout = false;
    FileHandle directory = no_file;
    std::filesystem::path leaf;
    std::optional<FileId> existing;  // the file of that name there, if any
};

std::string system_text(std::errc error) {
    return std::make_error_code(error).message();
}

// NEW is made where nothing is, or in place of a regular file; never in place of a link
// (which would be followed by no one, and lost), a device, a FIFO or a socket, whose
// readers would find a file where they expected what they had.
bool replaceable(const LeafStatus& there) {
    return there.kind == LeafKind::missing || there.kind == LeafKind::regular;
}

CreateProblem target_problem(const std::string& name, const LeafStatus& there) {
    CreateProblem problem = create_problem(CreateFault::target_not_regular, name, there.text);
    problem.kind = there.kind;
    return problem;
}

// The entries asked for: a manifest's, or the tree's under the PATHs and the lists' names.
bool gather(const CreateRequest& request, DirectoryWalk& walk, NewArchive& archive,
            std::vector<CreateProblem>& problems) {
    std::string bytes;
    std::string reason;
    if (request.manifest || request.manifest_text) {
        CreateProblem problem;
        u64 too_large = 0;
        if (request.manifest_text && request.manifest_text->size() > largest_manifest) {
            problems.push_back(create_problem(CreateFault::manifest_too_large, {}, {}, request.manifest_text->size()));
        } else if (request.manifest_text) {
            if (!read_manifest(*request.manifest_text, archive, problem)) problems.push_back(problem);
        } else if (!read_whole_file(*request.manifest, bytes, reason, largest_manifest, &too_large)) {
            problems.push_back(too_large != 0 ? create_problem(CreateFault::manifest_too_large, {}, {}, too_large)
                                              : create_problem(CreateFault::unreadable, *request.manifest, reason));
        } else if (!read_manifest(bytes, archive, problem)) {
            problems.push_back(problem);
        }
    } else {
        std::vector<std::string> paths = request.paths;
        for (const std::string& list : request.lists) {
            if (!read_names_from(list, request.null, paths, reason)) {
                problems.push_back(create_problem(CreateFault::unreadable, list, reason));
            }
        }
        archive.entries = gather_tree(walk, paths, request.excludes, problems);
    }
    if (request.version_text) archive.version = *request.version_text;
    archive.padded = request.padded;
    if (problems.empty()) check_new_archive(archive, problems);
    // The filler goes last, once the count is known, and its name is held to the rules too.
    if (problems.empty() && request.filler && add_filler(archive, *request.filler)) {
        check_new_archive(archive, problems);
    }
    return problems.empty();
}

// Every file under the root that the manifest does not name, and every directory the walk
// could not read, a warning each in the byte order of their names: what the manifest
// leaves out is never left out in silence.
void warn_of_unnamed(const CreateRequest& request, DirectoryWalk& walk, const NewArchive& archive,
                     std::vector<CreateWarning>& warnings) {
    std::vector<CreateProblem> unread;
    const std::vector<NewEntry> found = gather_tree(walk, {"."}, request.excludes, unread);
    std::vector<std::string_view> named;
    named.reserve(archive.entries.size());
    for (const NewEntry& entry : archive.entries) named.push_back(entry.name);
    std::sort(named.begin(), named.end());
    for (const NewEntry& file : found) {
        if (!std::binary_search(named.begin(), named.end(), std::string_view(file.name)))
            warnings.push_back({CreateWarning::Kind::unnamed, file.name, 0, 0, {}});
    }
    for (CreateProblem& problem : unread) {
        CreateWarning warning{CreateWarning::Kind::unwalked, std::move(problem.subject), 0, 0, {}};
        if (problem.fault != CreateFault::too_deep) warning.text = std::move(problem.text);
        warnings.push_back(std::move(warning));
    }
}

// Opens where NEW goes; a problem when it cannot be written there.
bool open_target(const CreateRequest& request, NewTarget& target, std::vector<CreateProblem>& problems) {
    const std::string& name = request.file;
    target.to_stdout = name == "-";
    if (target.to_stdout) {
        if (platform_console_traits(platform_stdout_handle()).terminal) {
            problems.push_back(
                create_problem(CreateFault::write_failed, {}, "refusing to write an update file to a terminal"));
        }
        return problems.empty();
    }
    const std::filesystem::path path = file_path(name);
    target.leaf = path.filename();
    if (name.empty() || target.leaf.empty() || target.leaf == "." || target.leaf == "..") {
        problems.push_back(create_problem(
            CreateFault::write_failed, name,
            system_text(name.empty() ? std::errc::no_such_file_or_directory : std::errc::is_a_directory)));
        return false;
    }
    target.directory = open_target_directory(path.parent_path());
    if (target.directory == no_file) {
        problems.push_back(create_problem(CreateFault::write_failed, name, last_error_text()));
        return false;
    }
    const LeafStatus there = measure_leaf(target.directory, target.leaf);
    if (there.kind == LeafKind::directory) {
        problems.push_back(create_problem(CreateFault::write_failed, name, system_text(std::errc::is_a_directory)));
    } else if (!replaceable(there)) {
        problems.push_back(target_problem(name, there));
    } else if (there.kind != LeafKind::missing && request.keep) {
        problems.push_back(create_problem(CreateFault::kept, name));
    } else if (there.kind != LeafKind::missing) {
        target.existing = there.id;
    }
    return problems.empty();
}

// Leaves out the entry at `position`, which is the file being written, and the filler
// after it, which the new count may not need; the rest is checked again.
void leave_out_output(const CreateRequest& request, NewArchive& archive, std::size_t position,
                      std::vector<CreateProblem>& problems, std::vector<CreateWarning>& warnings) {
    warnings.push_back({CreateWarning::Kind::is_output, archive.entries[position].name, 0, 0, {}});
    drop_entry(archive, position);
    if (!archive.entries.empty() && archive.entries.back().filler) archive.entries.pop_back();
    if (request.filler) add_filler(archive, *request.filler);
    check_new_archive(archive, problems);
}

// Builds the file without a name, loads it back and names it, or sends it to standard
// output; nothing of it is left where any step fails. Where the tree holds the file being
// written, which shows only as it is read, it is left out and the file begun again.
bool build(const CreateRequest& request, NewArchive& archive, DirectoryWalk& walk, NewTarget& target,
           const CreateEvents& events, std::vector<CreateProblem>& problems, std::vector<CreateWarning>& warnings) {
    PendingFile pending;
    FileHandle temporary = no_file;
    CreateProblem problem = create_problem(CreateFault::write_failed, request.file);
    if (target.to_stdout) temporary = open_temporary_directory(problem.text);
    const FileHandle directory = target.to_stdout ? temporary : target.directory;
    const std::filesystem::path leaf = target.to_stdout ? std::filesystem::path("kpupdate-create") : target.leaf;
    // A tree's own output is left out of it.
    std::optional<FileId> skip = request.manifest || request.manifest_text ? std::nullopt : target.existing;
    Pass pass = Pass::met_output;
    while (pass == Pass::met_output && problems.empty()) {
        if (directory == no_file || !create_pending_file(pending, directory, leaf)) {
            if (problem.text.empty()) problem.text = last_error_text();
            problems.push_back(problem);
            close_directory(temporary);
            return false;
        }
        std::size_t output_at = 0;
        const std::size_t before = problems.size();
        pass = write_new_archive(archive, walk, skip, pending.handle, events, problems, warnings, output_at);
        // A failed write is of the file being made, whichever entry it came in.
        for (std::size_t i = before; i < problems.size(); ++i) {
            if (problems[i].fault == CreateFault::write_failed)
                problems[i].subject = target.to_stdout ? "" : request.file;
        }
        if (pass != Pass::met_output) break;
        discard_pending_file(pending);
        leave_out_output(request, archive, output_at, problems, warnings);
        skip.reset();
    }
    bool done = pass == Pass::written;
    SourceFile written;
    written.handle = pending.handle;
    // Its length as the system has it, which the check holds to what the layout gives.
    written.length = done ? measure_open(pending.handle).size : 0;
    done = done && check_written_archive(archive, written, problem);
    if (done && target.to_stdout) {
        done = copy_range(written, 0, written.length, standard_output());
        if (!done) problem = create_problem(CreateFault::write_failed, {}, last_error_text());
    }
    release_source(written);
    if (!done || target.to_stdout) {
        if (pending.handle != no_file) discard_pending_file(pending);
    } else if (const LeafStatus there = measure_leaf(target.directory, target.leaf); !replaceable(there)) {
        // Looked at again through NEW's directory, as it is the moment it is replaced.
        problem = target_problem(request.file, there);
        discard_pending_file(pending);
        done = false;
    } else {
        const Placed placed =
            commit_pending_file(pending, target.leaf, request.keep ? Existing::keep : Existing::replace);
        if (placed == Placed::kept) problem = create_problem(CreateFault::kept, request.file);
        if (placed == Placed::failed)
            problem = create_problem(CreateFault::write_failed, request.file, last_error_text());
        done = placed == Placed::written;
    }
    if (!done && pass == Pass::written) problems.push_back(problem);
    close_directory(temporary);
    return done;
}

}  // namespace

bool create_update_file(const CreateRequest& request, FileHandle root, const std::string& root_name,
                        const std::string& root_error, const CreateFileEvents& events,
                        std::vector<CreateProblem>& problems) {
    NewTarget target;
    NewArchive archive;
    DirectoryWalk walk;
    walk.root = root;
    std::vector<CreateWarning> warnings;
    if (root == no_file) problems.push_back(create_problem(CreateFault::unreadable, root_name, root_error));
    if (problems.empty() && open_target(request, target, problems)) gather(request, walk, archive, problems);
    // Before the new file is begun, which may have a name in the tree while it is written.
    std::vector<CreateWarning> unnamed;
    if (problems.empty() && (request.manifest || request.manifest_text))
        warn_of_unnamed(request, walk, archive, unnamed);
    bool done = false;
    if (problems.empty()) {
        if (request.guard) guard_interruptions();
        done = build(request, archive, walk, target, events.work, problems, warnings);
        if (request.guard) unguard_interruptions();
    }
    warnings.insert(warnings.end(), unnamed.begin(), unnamed.end());
    for (const CreateWarning& warning : warnings) {
        if (events.warning != nullptr) events.warning(events.work.context, warning);
    }
    walk_end(walk);
    close_directory(target.directory);
    return done;
}

}  // namespace kp
