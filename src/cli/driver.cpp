#include "cli/driver.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "archive/file_path.h"
#include "cli/current_directory.h"
#include "console/console_platform.h"
#include "extract/compare.h"
#include "extract/extraction.h"
#include "extract/integrity.h"
#include "report/output.h"
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

ExtractTarget target_of(const UpdateArchive& archive, const Options& options) {
    ExtractTarget target;
    target.directory = options.directory_given ? options.directory : archive.base_directory;
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

// --diff: FILE, the new side, against OTHER, an older update file or a directory, both
// restricted by the selectors (each side's latest entry of every file without one).
// Returns 0 when they are the same, 1 when they differ, 254 for damage or an OTHER
// that is no update file, 255 when it cannot be opened or a selector found nothing;
// `ended` when OTHER could not be loaded, which ends the run.
i32 run_diff(const UpdateArchive& archive, Output& output, const Renderer& render, const Options& options,
             const Selection& selection, bool& ended) {
    const SelectedEntries mine = select_entries(archive, selection);
    DiffReport report;
    report.other = options.diff;
    SelectionMisses missing = mine.missing;
    std::error_code error;
    if (std::filesystem::is_directory(file_path(options.diff), error)) {
        compare_with_directory(archive, mine.positions, options.diff, !selects_entries(options), report);
    } else {
        UpdateArchive old;
        const i32 loaded = load_archive(old, options.diff.c_str());
        if (loaded < 0) {
            const bool malformed = loaded == load_malformed;
            output.file = options.diff;
            render.failure(output, (malformed ? "syntax-error or EOF in file " : "could not load file ") + options.diff,
                           &old.problem);
            ended = true;
            return malformed ? exit_malformed : exit_failure;
        }
        const SelectedEntries theirs = select_entries(old, selection);
        missing = missed_by_both(mine.missing, theirs.missing);
        compare_archives(archive, mine.positions, old, theirs.positions, report);
    }
    render.selection(output, missing);
    render.diff(output, report);
    if (!report.damaged.empty()) return exit_malformed;
    if (anything_missing(missing)) return exit_failure;
    return sides_differ(report) ? exit_different : exit_ok;
}

}  // namespace

i32 run_program(UpdateArchive& archive, ConsoleOutput& console, std::string_view current_directory,
                const Options& options) {
    archive.console = &console;
    set_base_directory(archive, current_directory);
    Output output = output_of(archive, console, options);
    const Renderer& render = options.json ? json_renderer : text_renderer;

    render.start(output);
    if (options.file == nullptr) {
        render.failure(output, "missing filename. Specify kelvo .update-file as argument", nullptr);
        return exit_failure;
    }
    const i32 loaded = load_archive(archive, options.file);
    render.loaded(output);
    if (loaded == load_malformed || loaded == load_cannot_open) {
        render.failure(output,
                       (loaded == load_malformed ? "syntax-error or EOF in file " : "could not load file ") +
                           std::string(options.file),
                       &archive.problem);
        return loaded == load_malformed ? exit_malformed : exit_failure;
    }
    render.archive(output);

    i32 status = exit_ok;
    if (options.test) {
        IntegrityReport report;
        LoadProblem problem;
        if (!check_archive_file(archive, report, problem)) {
            render.failure(output, std::string("could not load file ") + options.file, &problem);
            return exit_failure;
        }
        render.integrity(output, report);
        if (!report.outside.empty()) status = exit_malformed;  // a damaged file is a malformed one
    }
    const Selection selection = selection_of(options);  // what the misses of selections refer to, to the end
    if (options.diff_given) {
        bool ended = false;
        const i32 compared = run_diff(archive, output, render, options, selection, ended);
        if (ended) return compared;
        if (status == exit_ok) status = compared;  // damage that --test found wins
    } else if (selects_entries(options) || options.list) {
        SelectedEntries selected = select_entries(archive, selection);
        if (!selects_entries(options)) {  // --list alone: every entry, also those a later one hides
            for (u32 position = 0; position < archive.entries.size(); ++position)
                selected.positions.push_back(position);
        }
        render.selection(output, selected.missing);
        bool complete = !anything_missing(selected.missing);
        if (options.list) {
            render.listing(output, selected.positions);
        } else {
            const ExtractionSummary done =
                extract_entries(archive, selected, target_of(archive, options), render.extraction(output));
            complete = complete && done.failed == 0;
        }
        if (!complete && status == exit_ok) status = exit_failure;
    }
    render.finish(output);
    return status;
}

i32 run_command_line(UpdateArchive& archive, ConsoleOutput& console, int argc, char** argv) {
    Options options;
    OptionsProblem problem{parse_options(options, argc, argv), {}};
    if (problem.usage.empty() && options.file != nullptr && !options.help && !options.version) {
        problem = check_options(options);
    }
    if (!problem.usage.empty()) {
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
    return run_program(archive, console, current_directory(), options);
}

}  // namespace kp
