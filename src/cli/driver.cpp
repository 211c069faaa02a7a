#include "cli/driver.h"

#include "cli/create_command.h"
#include "cli/current_directory.h"
#include "cli/early_end.h"
#include "cli/plan.h"
#include "console/console_platform.h"
#include "ops/compare.h"
#include "ops/integrity.h"
#include "report/json.h"
#include "report/reasons.h"
#include "report/renderer.h"
#include "version.h"

namespace kp {

namespace {

// What the work gave, kept until the plan shows it.
struct Done {
    SelectedEntries selected;
    UpdateArchive old;  // --diff's OTHER as an update file
    i32 old_loaded = 0;
    LoadProblem old_problem;
    DiffReport diff;
    std::vector<EntryDigest> digests;
    HeldEntries held;
};

// An update file that could not be loaded ends the run, with its status.
i32 load_failed(const Renderer& render, i32 loaded, const std::string& file, const LoadProblem& problem) {
    const bool malformed = loaded == load_malformed;
    render.failure(render.state, (malformed ? "syntax-error or EOF in file " : "could not load file ") + file, &problem,
                   file);
    return malformed ? exit_malformed : exit_failure;
}

// An update file shorter than its header declares is warned of in every run, once, after
// the work, where a stream has come to its end: a file and a stream say it alike.
void warn_if_cut(const UpdateArchive& archive, const SourceFile& source, const Renderer& render) {
    const u64 declared = archive_end(archive);
    if (source.stream && !source.ended) return;  // it reached the declared end
    if (source.length < declared) render.cut(render.state, source.length, declared);
}

// Which of the member names missing from the archive are update files themselves, as
// when a shell expanded *.update after FILE.
void note_update_files(SelectionMisses& missing) {
    for (const std::string_view member : missing.members)
        missing.members_updates.push_back(is_update_file(std::string(member)));
}

void test(const Plan& plan, const UpdateArchive& archive, RunInputs& inputs, const Renderer& render,
          Findings& findings) {
    IntegrityReport report = check_archive_file(archive, inputs.file);
    exclude_from_notes(report, archive, plan.selection);
    render.integrity(render.state, report);
    findings.damaged |= !report.outside.empty();  // a damaged file is a malformed one
}

// --diff: FILE, the new side, against OTHER, an older update file or a directory, both
// restricted by the selectors (each side's latest entry of every file without one).
void compare(const Plan& plan, const UpdateArchive& archive, const Options& options, RunInputs& inputs, Done& done,
             Findings& findings) {
    done.diff.other = options.diff;
    done.selected = select_entries(archive, plan.selection);
    if (inputs.other_kind == InputKind::directory) {
        note_update_files(done.selected.missing);
        // Every entry compared, with or without --all: the directory's other files are extra.
        const DirectoryComparison how{options.padded, plan.selection.all, &plan.selection.excludes};
        compare_with_directory(archive, done.selected.positions, inputs.file, inputs.other.handle, how, done.diff);
    } else {
        done.old_loaded = load_source(done.old, inputs.other_kind, inputs.other, inputs.other_error, done.old_problem);
        if (done.old_loaded < 0) return;
        const SelectedEntries theirs = select_entries(done.old, plan.selection);
        done.selected.missing = missed_by_both(done.selected.missing, theirs.missing);
        note_update_files(done.selected.missing);
        compare_archives(archive, done.selected.positions, inputs.file, done.old, theirs.positions, inputs.other,
                         done.diff);
    }
    findings.damaged |= !done.diff.damaged.empty();
    findings.failed |= anything_missing(done.selected.missing) || !done.diff.unreadable.empty();
    findings.different = sides_differ(done.diff);
}

void perform(const Plan& plan, const UpdateArchive& archive, const Options& options, RunInputs& inputs,
             const Renderer& render, Done& done, Findings& findings) {
    if (plan.work == Work::diff) return compare(plan, archive, options, inputs, done, findings);
    if (plan.work == Work::reports) return;
    done.selected = select_entries(archive, plan.selection);
    note_update_files(done.selected.missing);
    findings.failed |= anything_missing(done.selected.missing);
    if (plan.work == Work::list) return;
    if (plan.work == Work::digests) {
        done.digests = entry_digests(archive, done.selected, plan.selection.strip, inputs.file);
        for (const EntryDigest& digest : done.digests) findings.failed |= !digest.done;
        return;
    }
    if (!plan.hold) render.selection(render.state, done.selected.missing);
    done.held.live = render.extraction(render.state);
    const ExtractionSummary summary = extract_entries(
        archive, done.selected, plan.target, plan.hold ? hold_entries(done.held) : done.held.live, inputs.file);
    findings.failed |= summary.failed != 0;
}

void show(const Plan& plan, const Done& done, const Renderer& render) {
    if (plan.work == Work::reports || (plan.work == Work::extract && !plan.hold)) return;
    render.selection(render.state, done.selected.missing);
    if (plan.work == Work::diff) render.diff(render.state, done.diff);
    if (plan.work == Work::list) render.listing(render.state, done.selected.positions);
    if (plan.work == Work::digests) render.digests(render.state, done.digests);
    if (plan.work == Work::extract) replay(done.held);
}

}  // namespace

i32 run_program(UpdateArchive& archive, ConsoleOutput& console, const Options& options, RunInputs& inputs) {
    TextState text;
    JsonState json;
    text.settings = json.settings = settings_of(archive, console, options);
    UnseenBytes unseen;  // gathered for --json, rendered at its end
    json.settings.unseen = &unseen;
    const Renderer render = options.json ? json_renderer(json) : text_renderer(text);
    const Plan plan = plan_of(options, inputs);

    render.warnings(render.state, argument_warnings(options));
    render.start(render.state);
    if (options.file == nullptr) {
        render.failure(render.state, "missing filename. Specify kelvo .update-file as argument", nullptr, "");
        render.warnings(render.state, {"missing FILE, the update file to read; see 'kpupdate --help'"});
        return exit_failure;
    }
    LoadProblem problem;
    const i32 loaded = load_source(archive, inputs.file_kind, inputs.file, inputs.file_error, problem);
    render.loaded(render.state);
    if (loaded < 0) return load_failed(render, loaded, options.file, problem);
    if (options.json) gather_unseen_bytes(archive, inputs.file, unseen);
    render.archive(render.state);

    Findings findings;
    if (plan.test_first) test(plan, archive, inputs, render, findings);
    Done done;
    perform(plan, archive, options, inputs, render, done, findings);
    if (plan.test_last) test(plan, archive, inputs, render, findings);
    if (plan.drain) skip_stream(inputs.file, archive_end(archive));  // its writer may count on all of it being read
    if (options.json) unseen_bytes_done(inputs.file, unseen);
    if (done.old_loaded < 0) return load_failed(render, done.old_loaded, options.diff, done.old_problem);
    show(plan, done, render);
    warn_if_cut(archive, inputs.file, render);
    if (inputs.file.stream && !inputs.file.read_failure.empty()) {
        render.unreadable(render.state, inputs.file.read_failure);
        findings.unreadable = true;
    }
    render.finish(render.state);
    return status_of(findings);
}

i32 run_command_line(UpdateArchive& archive, ConsoleOutput& console, int argc, char** argv) {
    Options options;
    OptionsProblem problem{parse_options(options, argc, argv), {}};
    const bool running = problem.usage.empty() && !options.help && !options.version;
    if (running && (options.create || options.manifest_given || options.version_text_given)) {
        problem = check_create_options(options);  // --create reads -T's names as PATHs
        if (problem.usage.empty()) return run_create(console, options);
    } else if (running) {
        // Every list counts, in the order given, as tar takes them.
        for (const std::string& list : options.files_from) {
            std::string reason;
            if (list == "-" && options.file != nullptr && std::string_view(options.file) == "-") {
                problem.usage = "'--files-from' and FILE cannot both be standard input";
                break;
            }
            if (!read_names_from(list, options.null, options.names, reason)) {  // nothing is read or written then
                return end_early(console, options.json, "could not read names from " + list, reason,
                                 {shell_quoted(list) + ": " + reason});
            }
        }
    }
    // Every path the run reads is resolved here, once, right after the options.
    RunInputs inputs;
    if (problem.usage.empty() && running && options.file != nullptr) {
        problem = check_options(options);
        if (problem.usage.empty()) problem.usage = open_inputs(options, current_directory(), inputs);
    }
    if (!problem.usage.empty()) {
        close_inputs(inputs);
        // A refusal that says what to do instead needs no pointer to the help.
        const bool says_what_to_do = problem.usage.ends_with('?') || options.decompressor != nullptr;
        std::vector<std::string> lines = {problem.usage + (says_what_to_do ? "" : "; see 'kpupdate --help'.")};
        if (!problem.reason.empty()) lines.push_back(options.directory + ": " + problem.reason);
        return end_early(console, options.json || asks_for_json(argc, argv), problem.usage, problem.reason, lines);
    }
    if (options.help || options.version) {
        console_init(console, platform_stdout_handle(), ColourWhen::never);
        console_print(console, console.current_attribute, options.help ? "%s" : "kpupdate %s\n",
                      options.help ? usage_text() : kpupdate_version);
        return exit_ok;
    }
    // "-" is standard input; a pipe, a FIFO or a device is read as one, once.
    open_file_input(options, inputs);
    if (inputs.file_kind == InputKind::terminal) {
        close_inputs(inputs);
        const std::string refusal = "refusing to read an update file from a terminal";
        std::vector<std::string> lines = argument_warnings(options);
        lines.push_back(refusal);
        return end_early(console, options.json, refusal, {}, lines, argument_warnings(options));
    }
    // With --stdout, standard output carries only the files' bytes; JSON is never coloured.
    if (options.to_stdout) {
        console_init(console, platform_stderr_handle(), ColourWhen::never);
    } else {
        console_init(console, platform_stdout_handle(), options.json ? ColourWhen::never : options.colour);
    }
    const i32 status = run_program(archive, console, options, inputs);
    close_inputs(inputs);
    return status;
}

}  // namespace kp
