#include "cli/plan.h"

#include "report/reasons.h"

namespace kp {

namespace {

Selection selection_of(const Options& options, bool selects) {
    Selection selection;
    if (options.index != nullptr) selection.index = parse_index(options.index);
    selection.names = options.names;
    selection.members = options.members;
    selection.patterns = options.patterns;
    selection.indexes = options.indexes;
    selection.positions = options.positions;
    // --diff without a selector compares every file; --list alone lists every entry, also
    // those that a later one hides.
    const bool named = selects_entries(options, Selectors::particular);
    selection.all = options.all || (options.extract && !named) || ((options.diff || options.sha256) && !selects);
    selection.every = options.list && !selects;
    selection.excludes = exclusions_of(options.excludes);
    selection.strip = options.strip.value_or(0);
    return selection;
}

ExtractTarget target_of(const Options& options, const RunInputs& inputs) {
    ExtractTarget target;
    target.directory = options.directory.value_or("");
    target.root = options.directory ? inputs.directory : inputs.here;
    target.root_error = options.directory ? inputs.directory_error : inputs.here_error;
    target.padded = writes_padded(options);
    target.strip = options.strip.value_or(0);
    // Index numbers alone write only into directories that exist, as they always have.
    target.make_directories = selects_entries(options, Selectors::besides_index);
    target.existing = options.existing.value_or(Existing::replace);
    target.to_stdout = options.to_stdout;
    return target;
}

CreateRequest request_of(const Options& options) {
    CreateRequest request;
    request.file = options.file != nullptr ? options.file : "";
    request.manifest = options.manifest;
    request.paths = options.paths;
    request.lists = options.files_from;
    request.null = options.null;
    request.excludes = exclusions_of(options.excludes);
    request.version_text = options.version_text;
    request.filler = options.filler;
    request.padded = options.padded;
    request.keep = options.existing == Existing::keep;
    return request;
}

EditRequest edit_request_of(const Options& options) {
    EditRequest request;
    request.file = options.file != nullptr ? options.file : "";
    request.out = options.out;
    (options.update ? request.paths : request.deletes) = options.paths;
    if (options.update) request.lists = options.files_from;
    request.null = options.null;
    request.excludes = exclusions_of(options.excludes);
    request.version_text = options.version_text;
    request.filler = options.filler;
    request.zero_signatures = options.zero_signatures.value_or(false);
    request.keep = options.existing == Existing::keep;
    return request;
}

Ending usage_ending(const Options& options, const OptionsProblem& problem) {
    // A refusal that says what to do instead needs no pointer to the help.
    const bool says_what_to_do = problem.usage.ends_with('?') || options.decompressor != nullptr;
    Ending ending{problem.json, problem.usage, problem.reason, {}, {}};
    ending.lines.push_back(problem.usage + (says_what_to_do ? "" : "; see 'kpupdate --help'."));
    if (!problem.reason.empty()) ending.lines.push_back(options.directory.value_or("") + ": " + problem.reason);
    return ending;
}

}  // namespace

Plan plan_of(const Options& options, const OptionsProblem& problem, const RunInputs& inputs) {
    Plan plan;
    if (!problem.usage.empty()) {
        plan.mode = Mode::usage;
        plan.ending = usage_ending(options, problem);
        return plan;
    }
    if (!problem.list.empty()) {  // nothing is read or written then
        plan.mode = Mode::refusal;
        plan.ending = {options.json,
                       "could not read names from " + problem.list,
                       problem.reason,
                       {shell_quoted(problem.list) + ": " + problem.reason},
                       {}};
        return plan;
    }
    if (options.help || options.version) {
        plan.mode = options.help ? Mode::help : Mode::version;
        return plan;
    }
    if (asks_to_edit(options)) {
        plan.mode = Mode::edit;
        plan.edit = edit_request_of(options);
        return plan;
    }
    if (asks_to_create(options)) {
        plan.mode = Mode::create;
        plan.create = request_of(options);
        return plan;
    }
    if (inputs.file_kind == InputKind::terminal) {
        const std::string refusal = "refusing to read an update file from a terminal";
        plan.mode = Mode::refusal;
        plan.ending = {options.json, refusal, {}, argument_warnings(options), argument_warnings(options)};
        plan.ending.lines.push_back(refusal);
        return plan;
    }
    if (asks_to_scan(options)) {
        plan.mode = Mode::scan;
        return plan;
    }
    const bool stream = inputs.file.stream;
    const bool selects = selects_entries(options);
    plan.selection = selection_of(options, selects);
    plan.target = target_of(options, inputs);
    if (options.diff) {
        plan.work = Work::diff;
    } else if (options.list) {
        plan.work = Work::list;
    } else if (options.sha256) {
        plan.work = Work::digests;
    } else if (selects) {
        plan.work = Work::extract;
    }
    plan.test_first = options.test && !stream;
    plan.test_last = options.test && stream;
    plan.hold = plan.test_last && plan.work == Work::extract;
    plan.drain = stream && !options.test;
    return plan;
}

i32 status_of(const Findings& findings) {
    if (findings.damaged) return exit_malformed;
    if (findings.failed) return exit_failure;
    if (findings.different) return exit_different;
    if (findings.unreadable) return exit_malformed;
    return exit_ok;
}

namespace {

const ExtractionEvents& live_of(void* context) {
    return static_cast<HeldEntries*>(context)->live;
}

}  // namespace

ExtractionEvents hold_entries(HeldEntries& held) {
    ExtractionEvents events = held.live;
    events.context = &held;
    events.begin = [](void* context, u64 bytes, u64 entries) {
        const ExtractionEvents& live = live_of(context);
        if (live.begin != nullptr) live.begin(live.context, bytes, entries);
    };
    events.copied = [](void* context, u64 bytes) {
        const ExtractionEvents& live = live_of(context);
        if (live.copied != nullptr) live.copied(live.context, bytes);
    };
    events.entry = [](void* context, u32 position, EntryResult result, const EntryProblem& problem,
                      std::string_view path) {
        static_cast<HeldEntries*>(context)->entries.push_back({position, result, problem, std::string(path)});
    };
    events.end = [](void* context) {
        const ExtractionEvents& live = live_of(context);
        if (live.end != nullptr) live.end(live.context);
    };
    return events;
}

void replay(const HeldEntries& held) {
    const ExtractionEvents& live = held.live;
    for (const HeldEntries::Entry& entry : held.entries) {
        if (live.entry != nullptr) live.entry(live.context, entry.position, entry.result, entry.problem, entry.path);
    }
    if (live.end != nullptr) live.end(live.context);
}

RenderSettings settings_of(const UpdateArchive& archive, ConsoleOutput& console, const Options& options) {
    return {.console = &console,
            .archive = &archive,
            .file = options.file != nullptr ? options.file : "",
            .reports = !options.quiet && !options.to_stdout && !options.list && !options.sha256 && !options.extract,
            .verbose = options.verbose,
            .padded = writes_padded(options),
            .null_rows = options.null,
            .rows_only = options.list || options.sha256,
            .progress_when = options.progress,
            .strip = options.strip.value_or(0),
            .list_skipped = options.existing == Existing::skip || options.strip.has_value(),
            .list_index_misses = !options.indexes.empty() || !options.positions.empty()};
}

}  // namespace kp
