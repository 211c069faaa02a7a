#include "cli/driver.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "cli/current_directory.h"
#include "console/console_platform.h"
#include "fs/file_path.h"
#include "fs/stream.h"
#include "ops/compare.h"
#include "ops/extraction.h"
#include "ops/integrity.h"
#include "report/reasons.h"
#include "report/renderer.h"
#include "version.h"

namespace kp {

void set_base_directory(UpdateArchive& archive, std::string_view directory) {
    archive.base_directory.assign(directory);
    std::replace(archive.base_directory.begin(), archive.base_directory.end(), '\\', '/');
    if (archive.base_directory.find('/') != std::string::npos) {
        archive.base_directory += '/';
    }
}

namespace {

Selection selection_of(const Options& options) {
    Selection selection;
    if (options.index != nullptr) selection.index = parse_index(options.index);
    selection.names = options.names;
    selection.patterns = options.patterns;
    selection.indexes = options.indexes;
    selection.positions = options.positions;
    // --diff without a selector compares every file.
    selection.all = options.all || (options.diff_given && !selects_entries(options));
    return selection;
}

ExtractTarget target_of(const Options& options, const RunInputs& inputs) {
    ExtractTarget target;
    if (options.directory_given) {
        target.directory = options.directory;
    } else {
        target.root_given = true;
        target.root = inputs.here;
        target.root_error = inputs.here_error;
    }
    target.trim = options.trim;
    // Index numbers alone write only into directories that exist, as they always have.
    target.make_directories = options.all || !options.names.empty() || !options.patterns.empty() ||
                              !options.indexes.empty() || !options.positions.empty();
    target.existing = options.existing;
    target.to_stdout = options.to_stdout;
    return target;
}

Output output_of(UpdateArchive& archive, ConsoleOutput& console, const Options& options) {
    Output output;
    output.console = &console;
    output.archive = &archive;
    output.file = options.file != nullptr ? options.file : "";
    output.reports = !options.quiet && !options.to_stdout && !options.list;
    output.verbose = options.verbose;
    output.trim = options.trim;
    output.progress_when = options.progress;
    output.list_skipped = options.existing == Existing::skip;
    output.list_index_misses = !options.indexes.empty() || !options.positions.empty();
    return output;
}

// Loads the update file open in `source` (of `kind`), or says why it did not open.
i32 load_source(UpdateArchive& archive, InputKind kind, SourceFile& source, const std::string& error,
                const char* path) {
    if (kind == InputKind::unopened) {
        archive.problem = {LoadProblem::Kind::cannot_open, 0, 0, error};
        return load_cannot_open;
    }
    const i32 loaded = load_archive(archive, source);
    if (loaded > 0) archive.path = path;
    return loaded;
}

// What --diff compares FILE with, loaded before anything of FILE's data is read.
struct DiffSide {
    bool directory = false;
    UpdateArchive old;
    i32 loaded = 0;
};

void load_other(const Options& options, RunInputs& inputs, DiffSide& side) {
    side.directory = inputs.other_kind == InputKind::directory;
    if (!side.directory) {
        side.loaded = load_source(side.old, inputs.other_kind, inputs.other, inputs.other_error, options.diff.c_str());
    }
}

// An OTHER that could not be loaded ends the run, with its status.
i32 other_failed(Output& output, const Renderer& render, const Options& options, DiffSide& side) {
    const bool malformed = side.loaded == load_malformed;
    output.file = options.diff;
    render.failure(output, (malformed ? "syntax-error or EOF in file " : "could not load file ") + options.diff,
                   &side.old.problem);
    return malformed ? exit_malformed : exit_failure;
}

// --diff: FILE, the new side, against OTHER, an older update file or a directory, both
// restricted by the selectors (each side's latest entry of every file without one).
// Returns 0 when they are the same, 1 when they differ, 254 for damage, 255 when a
// selector found nothing.
i32 run_diff(const UpdateArchive& archive, const Options& options, const Selection& selection, DiffSide& side,
             RunInputs& inputs, DiffReport& report, SelectionMisses& missing) {
    const SelectedEntries mine = select_entries(archive, selection);
    report.other = options.diff;
    missing = mine.missing;
    if (side.directory) {
        // Every entry compared, with or without --all: the directory's other files are extra.
        compare_with_directory(archive, mine.positions, inputs.file, inputs.other.handle, selection.all, report);
    } else {
        const SelectedEntries theirs = select_entries(side.old, selection);
        missing = missed_by_both(mine.missing, theirs.missing);
        compare_archives(archive, mine.positions, inputs.file, side.old, theirs.positions, inputs.other, report);
    }
    if (!report.damaged.empty()) return exit_malformed;
    if (anything_missing(missing)) return exit_failure;
    return sides_differ(report) ? exit_different : exit_ok;
}

}  // namespace

std::string open_inputs(UpdateArchive& archive, const Options& options, std::string_view current_directory,
                        RunInputs& inputs) {
    inputs.current_directory = current_directory;
    set_base_directory(archive, current_directory);
    inputs.here = open_target_directory({});
    if (inputs.here == no_file) inputs.here_error = last_error_text();
    if (options.diff_given && options.file != nullptr) {
        std::string stream =
            "'--diff' compares with an update file or a directory, not a stream: '" + options.diff + "'";
        if (options.diff == "-") return stream;
        inputs.other_kind =
            open_input(inputs.other, options.diff, {inputs.here, archive.base_directory}, true, inputs.other_error);
        // Read twice, for its directory and for its bytes, a pipe would be empty the second
        // time, and every file on its side would look damaged.
        if (inputs.other_kind == InputKind::stream || inputs.other_kind == InputKind::terminal) return stream;
    }
    return {};
}

void open_file_input(const UpdateArchive& archive, const Options& options, RunInputs& inputs) {
    if (options.file == nullptr) return;
    inputs.file_kind =
        open_input(inputs.file, options.file, {inputs.here, archive.base_directory}, false, inputs.file_error);
}

void close_inputs(RunInputs& inputs) {
    if (inputs.file_kind != InputKind::unopened) close_source(inputs.file);
    if (inputs.other_kind != InputKind::unopened) close_source(inputs.other);
    close_directory(inputs.here);
    inputs.here = no_file;
    inputs.file_kind = inputs.other_kind = InputKind::unopened;
}

i32 run_program(UpdateArchive& archive, ConsoleOutput& console, const Options& options, RunInputs& inputs) {
    archive.console = &console;
    Output output = output_of(archive, console, options);
    const Renderer& render = options.json ? json_renderer : text_renderer;
    SourceFile* const stream = inputs.file.stream ? &inputs.file : nullptr;

    render.start(output);
    if (options.file == nullptr) {
        render.failure(output, "missing filename. Specify kelvo .update-file as argument", nullptr);
        return exit_failure;
    }
    const i32 loaded = load_source(archive, inputs.file_kind, inputs.file, inputs.file_error, options.file);
    render.loaded(output);
    if (loaded == load_malformed || loaded == load_cannot_open) {
        render.failure(output,
                       (loaded == load_malformed ? "syntax-error or EOF in file " : "could not load file ") +
                           std::string(options.file),
                       &archive.problem);
        return loaded == load_malformed ? exit_malformed : exit_failure;
    }
    render.archive(output);

    // --test's findings come first. A file is measured at once; a stream's length is
    // known only at its end, so what reads its data runs before, and what that found is
    // shown after the findings.
    const bool test_first = options.test && stream == nullptr;
    i32 status = exit_ok;
    const auto test = [&]() {
        const IntegrityReport report = check_archive_file(archive, inputs.file);
        render.integrity(output, report);
        if (!report.outside.empty()) status = exit_malformed;  // a damaged file is a malformed one
    };
    if (test_first) test();

    const Selection selection = selection_of(options);  // what the misses of selections refer to, to the end
    SelectedEntries selected;
    DiffSide side;
    DiffReport diff;
    i32 work = exit_ok;
    KeptEvents kept{render.extraction(output), {}};
    if (options.diff_given) {
        load_other(options, inputs, side);
        if (side.loaded >= 0) work = run_diff(archive, options, selection, side, inputs, diff, selected.missing);
    } else if (selects_entries(options) || options.list) {
        selected = select_entries(archive, selection);
        if (!selects_entries(options)) {  // --list alone: every entry, also those a later one hides
            for (u32 position = 0; position < archive.entries.size(); ++position)
                selected.positions.push_back(position);
        }
        if (!options.list) {
            if (!options.test || test_first) render.selection(output, selected.missing);
            const ExtractionSummary done =
                extract_entries(archive, selected, target_of(options, inputs),
                                options.test && !test_first ? keeping_events(kept) : kept.live, inputs.file);
            work = anything_missing(selected.missing) || done.failed != 0 ? exit_failure : exit_ok;
        }
    }
    if (stream != nullptr) {
        if (options.test) {
            test();
        } else {
            skip_stream(*stream, archive_end(archive));  // its writer may count on all of it being read
        }
    }

    if (side.loaded < 0) return other_failed(output, render, options, side);
    if (options.diff_given) {
        render.selection(output, selected.missing);
        render.diff(output, diff);
    } else if (options.list) {
        render.selection(output, selected.missing);
        render.listing(output, selected.positions);
        if (anything_missing(selected.missing)) work = exit_failure;
    } else if (options.test && !test_first && selects_entries(options)) {
        render.selection(output, selected.missing);
        tell_kept(kept);
    }
    if (stream != nullptr && !stream->read_failure.empty()) {
        output_to_stderr(output, shell_quoted(options.file) + ": reading it failed: " + stream->read_failure);
        if (work == exit_ok) work = exit_malformed;
    }
    if (status == exit_ok) status = work;  // damage that --test found wins
    render.finish(output);
    return status;
}

i32 run_command_line(UpdateArchive& archive, ConsoleOutput& console, int argc, char** argv) {
    Options options;
    OptionsProblem problem{parse_options(options, argc, argv), {}};
    // Every path the run reads is resolved here, once, right after the options.
    RunInputs inputs;
    if (problem.usage.empty() && options.file != nullptr && !options.help && !options.version) {
        problem = check_options(options);
        if (problem.usage.empty()) problem.usage = open_inputs(archive, options, current_directory(), inputs);
    }
    if (!problem.usage.empty()) {
        close_inputs(inputs);
        console_init(console, platform_stderr_handle(), ColourWhen::never);
        console_print(console, console.current_attribute, "kpupdate: %s; see 'kpupdate --help'.\n",
                      console_text(console, problem.usage).c_str());
        if (!problem.reason.empty()) {
            console_print(console, console.current_attribute, "kpupdate: %s: %s\n",
                          console_text(console, options.directory).c_str(), problem.reason.c_str());
        }
        return exit_failure;
    }
    if (options.help || options.version) {
        console_init(console, platform_stdout_handle(), ColourWhen::never);
        if (options.help) {
            console_print(console, console.current_attribute, "%s", usage_text());
        } else {
            console_print(console, console.current_attribute, "kpupdate %s\n", kpupdate_version);
        }
        return exit_ok;
    }
    // With --stdout, standard output carries only the files' bytes; JSON is never coloured.
    if (options.to_stdout) {
        console_init(console, platform_stderr_handle(), ColourWhen::never);
    } else {
        console_init(console, platform_stdout_handle(), options.json ? ColourWhen::never : options.colour);
    }
    for (const std::string& warning : argument_warnings(options)) {
        console_to_stderr(console, "kpupdate: " + console_text(console, warning) + "\n");
    }
    // "-" is standard input; a pipe, a FIFO or a device is read as one, once.
    open_file_input(archive, options, inputs);
    if (inputs.file_kind == InputKind::terminal) {
        console_to_stderr(console, "kpupdate: refusing to read an update file from a terminal\n");
        close_inputs(inputs);
        return exit_failure;
    }
    const i32 status = run_program(archive, console, options, inputs);
    close_inputs(inputs);
    return status;
}

}  // namespace kp
