#include "cli/driver.h"

#include <algorithm>

#include "cli/current_directory.h"
#include "console/console_platform.h"
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

i32 parse_index(const char* text) {
    constexpr long long low = -2147483648LL;
    constexpr long long high = 2147483647LL;
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > high + 1) value = high + 1;  // past either limit: stop growing
    }
    value = negative ? -value : value;
    return static_cast<i32>(value < low ? low : value > high ? high : value);
}

namespace {

Selection selection_of(const Options& options) {
    Selection selection;
    if (options.index != nullptr) selection.index = parse_index(options.index);
    selection.names = options.names;
    selection.patterns = options.patterns;
    selection.all = options.all;
    return selection;
}

ExtractTarget target_of(const UpdateArchive& archive, const Options& options) {
    ExtractTarget target;
    target.directory = options.directory_given ? options.directory : archive.base_directory;
    target.trim = options.trim;
    // Index numbers alone write only into directories that exist, as they always have.
    target.make_directories = options.all || !options.names.empty() || !options.patterns.empty();
    target.existing = options.existing;
    target.to_stdout = options.to_stdout;
    return target;
}

}  // namespace

i32 run_program(UpdateArchive& archive, ConsoleOutput& console, std::string_view current_directory,
                const Options& options) {
    archive.console = &console;
    set_base_directory(archive, current_directory);
    Output output;
    output.console = &console;
    output.archive = &archive;
    output.reports = !options.quiet && !options.to_stdout;
    output.progress_when = options.progress;
    output.list_skipped = options.existing == Existing::skip;
    const Renderer& render = options.json ? json_renderer : text_renderer;

    render.start(output);
    if (options.file == nullptr) {
        render.failure(output, "missing filename. Specify kelvo .update-file as argument");
        return exit_failure;
    }
    const i32 loaded = load_archive(archive, options.file);
    render.loaded(output);
    if (loaded == load_malformed || loaded == load_cannot_open) {
        render.failure(output, (loaded == load_malformed ? "syntax-error or EOF in file " : "could not load file ") +
                                   std::string(options.file));
        return loaded == load_malformed ? exit_malformed : exit_failure;
    }
    render.archive(output);

    i32 status = exit_ok;
    if (options.test) {
        IntegrityReport report;
        if (!check_archive_file(archive, report)) {
            render.failure(output, std::string("could not load file ") + options.file);
            return exit_failure;
        }
        render.integrity(output, report);
        if (!report.outside.empty()) status = exit_malformed;  // a damaged file is a malformed one
    }
    if (selects_entries(options)) {
        const Selection selection = selection_of(options);  // what `selected` refers to
        const SelectedEntries selected = select_entries(archive, selection);
        const ExtractionSummary done =
            extract_entries(archive, selected, target_of(archive, options), render.extraction(output));
        const bool complete = done.failed == 0 && selected.missing_names.empty() && selected.missing_patterns.empty();
        if (!complete && status == exit_ok) status = exit_failure;
    }
    render.finish(output);
    return status;
}

i32 run_command_line(UpdateArchive& archive, ConsoleOutput& console, int argc, char** argv) {
    Options options;
    std::string problem = parse_options(options, argc, argv);
    if (problem.empty() && options.file != nullptr && !options.help && !options.version) {
        problem = check_options(options);
    }
    if (!problem.empty()) {
        console_init(console, platform_stderr_handle(), ColourWhen::never);
        console_print(console, console.current_attribute, "kpupdate: %s; see 'kpupdate --help'.\n",
                      console_text(console, problem).c_str());
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
    return run_program(archive, console, current_directory(), options);
}

}  // namespace kp
