#include "cli/create_command.h"

#include <optional>
#include <system_error>

#include "cli/plan.h"
#include "console/console_platform.h"
#include "fs/file_path.h"
#include "fs/stream.h"
#include "ops/create_tree.h"
#include "ops/manifest.h"
#include "ops/pattern.h"
#include "report/create_output.h"
#include "report/reasons.h"

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

// The entries asked for: a manifest's, or the tree's under the PATHs and -T's names.
bool gather(const Options& options, DirectoryWalk& walk, const NewTarget& target, NewArchive& archive,
            std::vector<CreateProblem>& problems, std::vector<CreateProblem>& warnings) {
    std::string bytes;
    std::string reason;
    if (options.manifest_given) {
        CreateProblem problem;
        u64 too_large = 0;
        if (!read_whole_file(options.manifest, bytes, reason, largest_manifest, &too_large)) {
            problems.push_back(too_large != 0 ? create_problem(CreateFault::manifest_too_large, {}, {}, too_large)
                                              : create_problem(CreateFault::unreadable, options.manifest, reason));
        } else if (!read_manifest(bytes, archive, problem)) {
            problems.push_back(problem);
        }
    } else {
        std::vector<std::string> paths = options.paths;
        for (const std::string& list : options.files_from) {
            if (!read_names_from(list, options.null, paths, reason)) {
                problems.push_back(create_problem(CreateFault::unreadable, list, reason));
            }
        }
        archive.entries = gather_tree(walk, paths, exclusions_of(options.excludes), problems);
    }
    if (options.version_text_given) archive.version = options.version_text;
    archive.padded = options.padded;
    if (problems.empty()) check_new_archive(archive, problems);
    // Only names that passed are looked for; a tree's own output is left out of it.
    const std::optional<FileId> skip = options.manifest_given ? std::nullopt : target.existing;
    if (problems.empty()) measure_new_entries(archive, walk, skip, problems, warnings);
    // The filler goes last, once the count is known, and its name is held to the rules too.
    if (problems.empty() && options.filler_given && add_filler(archive, options.filler)) {
        check_new_archive(archive, problems);
    }
    return problems.empty();
}

// Opens where NEW goes; a problem when it cannot be written there.
bool open_target(const Options& options, NewTarget& target, std::vector<CreateProblem>& problems) {
    const std::string name = options.file;
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
    } else if (there.kind != LeafKind::missing && options.existing == Existing::keep) {
        problems.push_back(create_problem(CreateFault::kept, name));
    } else if (there.kind != LeafKind::missing) {
        target.existing = there.id;
    }
    return problems.empty();
}

// Builds the file without a name, loads it back and names it, or sends it to standard
// output; nothing of it is left where any step fails.
bool build(const Options& options, NewArchive& archive, DirectoryWalk& walk, NewTarget& target, CreateText& text,
           CreateProblem& problem) {
    PendingFile pending;
    FileHandle temporary = no_file;
    problem = create_problem(CreateFault::write_failed, options.file);
    if (target.to_stdout) {
        temporary = open_temporary_directory(problem.text);
        if (temporary == no_file || !create_pending_file(pending, temporary, "kpupdate-create")) {
            if (problem.text.empty()) problem.text = last_error_text();
            close_directory(temporary);
            return false;
        }
    } else if (!create_pending_file(pending, target.directory, target.leaf)) {
        problem.text = last_error_text();
        return false;
    }
    bool done = write_new_archive(archive, walk, pending.handle, create_events(text), problem);
    // A failed write is of the file being made, whichever entry it came in.
    if (!done && problem.fault == CreateFault::write_failed) problem.subject = target.to_stdout ? "" : options.file;
    SourceFile written;
    written.handle = pending.handle;
    written.length = layout_of(archive).file_length;
    done = done && check_written_archive(archive, written, problem);
    if (done && target.to_stdout) {
        done = copy_range(written, 0, written.length, standard_output());
        if (!done) problem = create_problem(CreateFault::write_failed, {}, last_error_text());
    }
    release_source(written);
    if (!done || target.to_stdout) {
        discard_pending_file(pending);
    } else if (const LeafStatus there = measure_leaf(target.directory, target.leaf); !replaceable(there)) {
        // Looked at again through NEW's directory, as it is the moment it is replaced.
        problem = target_problem(options.file, there);
        discard_pending_file(pending);
        done = false;
    } else {
        const Placed placed = commit_pending_file(
            pending, target.leaf, options.existing == Existing::keep ? Existing::keep : Existing::replace);
        if (placed == Placed::kept) problem = create_problem(CreateFault::kept, options.file);
        if (placed == Placed::failed)
            problem = create_problem(CreateFault::write_failed, options.file, last_error_text());
        done = placed == Placed::written;
    }
    close_directory(temporary);
    return done;
}

}  // namespace

OptionsProblem check_create_options(const Options& options) {
    if (!options.create) {
        return {std::string(options.manifest_given ? "'--manifest'" : "'--version-text'") + " needs '--create'", {}};
    }
    const std::pair<bool, const char*> others[] = {
        {options.all, "'--all'"},
        {options.extract, "'--extract'"},
        {!options.names.empty(), "'--name'"},
        {!options.patterns.empty(), "'--include'"},
        {!options.indexes.empty(), "'--index'"},
        {!options.positions.empty(), "'--position'"},
        {options.list, "'--list'"},
        {options.test, "'--test'"},
        {options.to_stdout, "'--stdout'"},
        {options.diff_given, "'--diff'"},
        {options.sha256, "'--sha256'"},
        {options.strip_given, "'--strip-components'"},
        {options.existing == Existing::skip, "'--skip-old-files'"},
        {options.json, "'--json'"},
    };
    for (const auto& [given, name] : others) {
        if (given) return {std::string("'--create' and ") + name + " cannot go together", {}};
    }
    if (options.file == nullptr) return {"'--create' needs NEW, the update file to write", {}};
    if (options.manifest_given && (!options.paths.empty() || !options.files_from.empty())) {
        return {"'--manifest' gives the entries: no PATH or '--files-from' goes with it", {}};
    }
    if (!options.manifest_given && options.paths.empty() && options.files_from.empty()) {
        return {"'--create' needs a PATH to add, or '--manifest'", {}};
    }
    if (options.trim && options.padded) return {"'--trim' and '--padded' cannot go together", {}};
    if (options.padded && !options.manifest_given) {
        return {"'--padded' with '--create' needs '--manifest', which gives each file's own size", {}};
    }
    return check_directory(options);
}

i32 run_create(ConsoleOutput& console, const Options& options) {
    const bool to_stdout = std::string_view(options.file) == "-";
    // -v's names go where the update file does not.
    console_init(console, to_stdout ? platform_stderr_handle() : platform_stdout_handle(),
                 to_stdout ? ColourWhen::never : options.colour);
    CreateText text;
    text.console = &console;
    text.verbose = options.verbose;
    text.progress_when = options.progress;
    std::vector<CreateProblem> problems;
    std::vector<CreateProblem> warnings;
    NewTarget target;
    NewArchive archive;
    DirectoryWalk walk;
    walk.root = open_target_directory(options.directory_given ? file_path(options.directory) : std::filesystem::path());
    if (walk.root == no_file) {
        problems.push_back(create_problem(CreateFault::unreadable, options.directory_given ? options.directory : ".",
                                          last_error_text()));
    }
    if (problems.empty() && open_target(options, target, problems))
        gather(options, walk, target, archive, problems, warnings);
    for (const CreateProblem& warning : warnings) create_say(text, create_reason(warning, options.manifest));
    bool done = false;
    if (problems.empty()) {
        guard_interruptions();
        CreateProblem problem;
        done = build(options, archive, walk, target, text, problem);
        unguard_interruptions();
        if (!done) problems.push_back(problem);
    }
    walk_end(walk);
    close_directory(walk.root);
    close_directory(target.directory);
    for (const CreateProblem& problem : problems) create_say(text, create_reason(problem, options.manifest));
    if (!done) {
        create_say(text, to_stdout ? std::string("nothing was written to standard output")
                                   : shell_quoted(options.file) + " was not written");
    }
    return done ? exit_ok : exit_failure;
}

}  // namespace kp
