#include "cli/driver.h"

#include "cli/create_command.h"
#include "cli/current_directory.h"
#include "cli/early_end.h"
#include "cli/edit_command.h"
#include "cli/plan.h"
#include "cli/scan_command.h"
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

// An update file that could not be loaded ends the run: a malformed one as damage.
void load_failed(const Renderer& render, i32 loaded, const std::string& file, const LoadProblem& problem,
                 Findings& findings) {
    const bool malformed = loaded == load_malformed;
    render.failure(render.state, (malformed ? "syntax-error or EOF in file " : "could not load file ") + file, &problem,
                   file);
    (malformed ? findings.damaged : findings.failed) = true;
}

// An update file shorter than its header declares is warned of in every run, once, after
// the work, where a stream has come to its end: a file and a stream say it alike.
void warn_if_cut(const UpdateArchive& archive, const SourceFile& source, const Renderer& render) {
    const u64 declared = archive_end(archive);
    if (!length_known(source)) return;  // it reached the declared end
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
    const IntegrityReport report = check_archive_file(archive, inputs.file, plan.selection.excludes);
    render.integrity(render.state, report);
    findings.damaged |= !report.outside.empty();  // a damaged file is a malformed one
}

// --diff: FILE, the new side, against OTHER, an older update file or a directory, both
// restricted by the selectors (each side's latest entry of every file without one).
void compare(const Plan& plan, const UpdateArchive& archive, const Options& options, RunInputs& inputs, Done& done,
             Findings& findings) {
    done.diff.other = options.diff.value_or("");
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

// Reading: FILE loaded, the plan's steps each once, what they found shown.
Findings read(UpdateArchive& archive, ConsoleOutput& console, const Options& options, const Plan& plan,
              RunInputs& inputs) {
    TextState text;
    JsonState json;
    text.settings = json.settings = settings_of(archive, console, options);
    UnseenBytes unseen;  // gathered for --json, rendered at its end
    EntrySums sums;      // the same
    json.settings.unseen = &unseen;
    json.settings.sums = &sums;
    const Renderer render = options.json ? json_renderer(json) : text_renderer(text);

    Findings findings;
    render.warnings(render.state, argument_warnings(options));
    render.start(render.state);
    if (options.file == nullptr) {
        render.failure(render.state, "missing filename. Specify kelvo .update-file as argument", nullptr, "");
        render.warnings(render.state, {"missing FILE, the update file to read; see 'kpupdate --help'"});
        findings.failed = true;
        return findings;
    }
    LoadProblem problem;
    const i32 loaded = load_file(archive, options, inputs, problem);
    render.loaded(render.state);
    if (loaded < 0) {
        load_failed(render, loaded, options.file, problem, findings);
        return findings;
    }
    if (options.json) gather_unseen_bytes(archive, inputs.file, unseen);
    if (options.json) gather_entry_sums(archive, inputs.file, sums);
    render.archive(render.state);

    if (plan.test_first) test(plan, archive, inputs, render, findings);
    Done done;
    perform(plan, archive, options, inputs, render, done, findings);
    if (plan.test_last) test(plan, archive, inputs, render, findings);
    if (plan.drain) finish_source(inputs.file, archive_end(archive));  // its writer may count on all of it being read
    if (options.json) entry_sums_done(inputs.file, sums);              // first: its tap lies over theirs
    if (options.json) unseen_bytes_done(inputs.file, unseen);
    if (done.old_loaded < 0) {
        load_failed(render, done.old_loaded, options.diff.value_or(""), done.old_problem, findings);
        return findings;
    }
    show(plan, done, render);
    warn_if_cut(archive, inputs.file, render);
    if (inputs.file.stream && !inputs.file.read_failure.empty()) {
        render.unreadable(render.state, inputs.file.read_failure);
        findings.unreadable = true;
    }
    render.finish(render.state);
    return findings;
}

// Reads the arguments and the lists they name, checks them, and opens every path the
// run reads, each once, before anything of them is read.
OptionsProblem prepare(Options& options, int argc, char** argv, RunInputs& inputs) {
    OptionsProblem problem;
    problem.usage = parse_options(options, argc, argv);
    const bool edit = asks_to_edit(options);
    const bool create = !edit && asks_to_create(options);
    const bool scan = !create && !edit && asks_to_scan(options);
    if (problem.usage.empty() && !options.help && !options.version) {
        if (create) problem = check_create_options(options);  // --create reads -T's names as PATHs
        if (edit) problem = check_edit_options(options);
        if (scan) problem = check_scan_options(options);
        // Every list counts, in the order given, as tar takes them.
        for (const std::string& list : create || scan || edit ? std::vector<std::string>() : options.files_from) {
            if (list == "-" && options.file != nullptr && std::string_view(options.file) == "-") {
                problem.usage = "'--files-from' and FILE cannot both be standard input";
                break;
            }
            if (!read_names_from(list, options.null, options.names, problem.reason)) {
                problem.list = list;
                break;
            }
        }
        const bool reads = create || edit || options.file != nullptr;
        if (!create && !scan && !edit && reads && problem.usage.empty() && problem.list.empty())
            problem = check_options(options);
        if (reads && problem.usage.empty() && problem.list.empty()) {
            problem = open_inputs(options, current_directory(), inputs);
            if (!create && !edit && problem.usage.empty())
                open_file_input(options, inputs);  // a FIFO waits for its writer
        }
    }
    problem.json = options.json;
    return problem;
}

void print_about(ConsoleOutput& console, Mode mode) {
    console_init(console, platform_stdout_handle(), ColourWhen::never);
    console_print(console, console.current_attribute, mode == Mode::help ? "%s" : "kpupdate %s\n",
                  mode == Mode::help ? usage_text().c_str() : kpupdate_version);
}

// With --stdout, standard output carries only the files' bytes; JSON is never coloured.
void set_up_console(ConsoleOutput& console, const Options& options) {
    if (options.to_stdout) {
        console_init(console, platform_stderr_handle(), ColourWhen::never);
    } else {
        console_init(console, platform_stdout_handle(), options.json ? ColourWhen::never : options.colour);
    }
}

}  // namespace

i32 run_program(UpdateArchive& archive, ConsoleOutput& console, const Options& options, RunInputs& inputs) {
    return status_of(read(archive, console, options, plan_of(options, {}, inputs), inputs));
}

i32 run_command_line(UpdateArchive& archive, ConsoleOutput& console, int argc, char** argv) {
    Options options;
    RunInputs inputs;
    const Plan plan = plan_of(options, prepare(options, argc, argv, inputs), inputs);
    Findings findings;
    switch (plan.mode) {
        case Mode::help:
        case Mode::version:
            print_about(console, plan.mode);
            break;
        case Mode::usage:
        case Mode::refusal:
            end_early(console, plan.ending);
            findings.failed = true;
            break;
        case Mode::create:
            findings.failed = !run_create(console, options, plan.create, inputs);
            break;
        case Mode::edit:
            findings.failed = !run_edit(console, options, plan.edit, inputs);
            break;
        case Mode::scan: {
            const i32 status = run_scan(console, options, inputs);
            close_inputs(inputs);
            return status;
        }
        case Mode::read:
            set_up_console(console, options);
            findings = read(archive, console, options, plan, inputs);
            break;
    }
    close_inputs(inputs);
    return status_of(findings);
}

}  // namespace kp
