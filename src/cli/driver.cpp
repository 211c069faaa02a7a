#include "cli/driver.h"

#include <algorithm>

#include "cli/current_directory.h"
#include "console/console_platform.h"
#include "extract/extraction.h"
#include "report/reports.h"
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

// Writes every entry the options select. False when a name matched nothing or an
// entry could not be written; each such failure has printed its message.
bool extract_selected(const UpdateArchive& archive, ConsoleOutput& console, const Options& options) {
    Selection selection;
    if (options.index != nullptr) selection.index = parse_index(options.index);
    selection.names = options.names;
    selection.all = options.all;
    const SelectedEntries selected = select_entries(archive, selection);
    bool ok = true;
    for (const std::string_view name : selected.missing_names) {
        console_print(console, attr_red, "ERROR: no file named %s in archive.\n", console_text(console, name).c_str());
        ok = false;
    }

    ExtractTarget target;
    target.directory = options.directory_given ? options.directory : archive.base_directory;
    target.trim = options.trim;
    // Index numbers alone write only into directories that exist, as they always have.
    target.make_directories = options.all || !options.names.empty();
    Extraction extraction;
    extraction_begin(extraction, archive, target);
    for (const u32 position : selected.positions) {
        const EntryRecord& entry = archive.entries[position];
        const bool written =
            options.to_stdout ? write_entry_to_output(extraction, entry) : write_entry_file(extraction, entry);
        if (!written) {
            console_print(console, attr_red, "ERROR: could not extract file %s.\n",
                          console_text(console, record_text(entry.record.name)).c_str());
            console_flush(console);
            ok = false;
        }
    }
    extraction_end(extraction);
    return ok;
}

}  // namespace

i32 run_program(UpdateArchive& archive, ConsoleOutput& console, std::string_view current_directory,
                const Options& options) {
    archive.console = &console;
    set_base_directory(archive, current_directory);

    const bool reports = !options.quiet && !options.to_stdout;
    if (reports) {
        console_print(console, attr_cyan, "\nQuorvane Kelvo/Pardo update-file utility V%s\n\n", kpupdate_version);
    }
    if (options.file == nullptr) {
        console_print(console, attr_red, "ERROR: missing filename. Specify kelvo .update-file as argument.\n");
        return exit_failure;
    }

    const i32 loaded = load_archive(archive, options.file);
    if (loaded == load_malformed) {
        console_print(console, attr_red, "ERROR: syntax-error or EOF in file %s.\n", options.file);
        return exit_malformed;
    }
    if (loaded == load_cannot_open) {
        console_print(console, attr_red, "ERROR: could not load file %s.\n", options.file);
        return exit_failure;
    }

    if (reports) {
        print_version_summary(archive);
        print_directory_listing(archive);
        print_signature_groups(archive);
    }
    if (!selects_entries(options)) return exit_ok;
    console_flush(console);  // the reports are on screen before a long extraction
    return extract_selected(archive, console, options) ? exit_ok : exit_failure;
}

i32 run_command_line(UpdateArchive& archive, ConsoleOutput& console, int argc, char** argv) {
    Options options;
    std::string problem = parse_options(options, argc, argv);
    if (problem.empty() && options.file != nullptr && !options.help && !options.version) {
        problem = check_options(options);
    }
    if (!problem.empty()) {
        console_init(console, platform_stderr_handle(), false);
        console_print(console, console.current_attribute, "kpupdate: %s; see 'kpupdate --help'.\n",
                      console_text(console, problem).c_str());
        return exit_failure;
    }
    if (options.help || options.version) {
        console_init(console, platform_stdout_handle(), false);
        if (options.help) {
            console_print(console, console.current_attribute, "%s", usage_text());
        } else {
            console_print(console, console.current_attribute, "kpupdate %s\n", kpupdate_version);
        }
        return exit_ok;
    }
    // With --stdout, standard output carries only the files' bytes.
    if (options.to_stdout) {
        console_init(console, platform_stderr_handle(), false);
    } else {
        console_init(console, platform_stdout_handle());
    }
    return run_program(archive, console, current_directory(), options);
}

}  // namespace kp
