#include "cli/driver.h"

#include <algorithm>

#include "archive/file_path.h"
#include "cli/current_directory.h"
#include "cli/integrity_output.h"
#include "cli/progress.h"
#include "console/console_platform.h"
#include "extract/copy.h"
#include "extract/extraction.h"
#include "extract/integrity.h"
#include "report/json.h"
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

// The path a file was written to, as text: the target directory and the name.
std::string written_path(const std::string& directory, std::string_view name) {
    if (directory.empty()) return std::string(name);
    const char last = directory.back();
    return directory + (last == '/' || last == '\\' ? "" : "/") + std::string(name);
}

// Writes every entry the options select. False when a name matched nothing or an
// entry could not be written. Each failure prints its message, or with `json` goes into
// its "missing" or "failed" list, beside "extracted".
bool extract_selected(const UpdateArchive& archive, ConsoleOutput& console, const Options& options, JsonWriter* json) {
    Selection selection;
    if (options.index != nullptr) selection.index = parse_index(options.index);
    selection.names = options.names;
    selection.patterns = options.patterns;
    selection.all = options.all;
    const SelectedEntries selected = select_entries(archive, selection);
    if (json == nullptr) {
        for (const std::string_view name : selected.missing_names) {
            console_print(console, attr_red, "ERROR: no file named %s in archive.\n",
                          console_text(console, name).c_str());
        }
        for (const std::string_view pattern : selected.missing_patterns) {
            console_print(console, attr_red, "ERROR: no file matches %s in archive.\n",
                          console_text(console, pattern).c_str());
        }
        console_flush(console);
    }

    ExtractTarget target;
    target.directory = options.directory_given ? options.directory : archive.base_directory;
    target.trim = options.trim;
    target.existing = options.existing;
    // Index numbers alone write only into directories that exist, as they always have.
    target.make_directories = options.all || !options.names.empty() || !options.patterns.empty();
    u64 total_bytes = 0;
    for (const u32 position : selected.positions) {
        u64 offset = 0;
        u64 size = 0;
        entry_range(archive.entries[position], target.trim, ~u64{0}, offset, size);
        total_bytes += size;
    }
    Progress progress;
    progress_begin(progress, options.progress, total_bytes, selected.positions.size());
    Extraction extraction;
    extraction.progress = {
        [](void* context, u64 bytes) { progress_add_bytes(*static_cast<Progress*>(context), bytes); }, &progress};
    extraction_begin(extraction, archive, target);
    std::vector<u32> written;
    std::vector<u32> skipped;
    std::vector<u32> failed;
    for (const u32 position : selected.positions) {
        const EntryRecord& entry = archive.entries[position];
        EntryWritten result = EntryWritten::failed;
        if (options.to_stdout) {
            if (write_entry_to_output(extraction, entry)) result = EntryWritten::written;
        } else {
            result = write_entry_file(extraction, entry);
        }
        const bool ok = result != EntryWritten::failed;
        (result == EntryWritten::written ? written : ok ? skipped : failed).push_back(position);
        if (!ok && json == nullptr) {
            progress_clear(progress);
            console_print(console, attr_red, "ERROR: could not extract file %s.\n",
                          console_text(console, record_text(entry.record.name)).c_str());
            console_flush(console);
        }
        progress_add_file(progress);
    }
    extraction_end(extraction);
    progress_clear(progress);

    if (json != nullptr) {
        // Entries by position and name; those written also with where they went.
        const auto entries = [&](const char* key, const std::vector<u32>& positions, bool with_path) {
            json_break(*json, 2);
            json_key(*json, key);
            json_begin_array(*json);
            for (const u32 position : positions) {
                const std::string_view name = record_text(archive.entries[position].record.name);
                json_break(*json, 4);
                json_begin_object(*json);
                json_key(*json, "position");
                json_number(*json, position);
                json_text_field(*json, "name", name);
                if (with_path) json_text_field(*json, "path", written_path(target.directory, name));
                json_end_object(*json);
            }
            json_end_array(*json, 2);
        };
        const auto texts = [&](const char* key, const std::vector<std::string_view>& values) {
            json_break(*json, 2);
            json_key(*json, key);
            json_begin_array(*json);
            for (const std::string_view value : values) json_string(*json, value);
            json_end_array(*json);
        };
        entries("extracted", written, true);
        entries("failed", failed, false);
        if (options.existing == Existing::skip) entries("skipped", skipped, false);
        texts("missing", selected.missing_names);
        texts("unmatched", selected.missing_patterns);
    }
    return failed.empty() && selected.missing_names.empty() && selected.missing_patterns.empty();
}

// A failure before anything could be reported: "ERROR: MESSAGE." as a line, or with
// --json the message as the document's "error".
i32 fail(ConsoleOutput& console, const Options& options, const std::string& message, i32 status) {
    if (options.json) {
        JsonWriter json;
        json_begin_object(json);
        json_key(json, "error");
        json_string(json, message);
        json_end_object(json);
        console_print(console, console.current_attribute, "%s\n", json.text.c_str());
    } else {
        console_print(console, attr_red, "ERROR: %s.\n", message.c_str());
    }
    return status;
}

}  // namespace

i32 run_program(UpdateArchive& archive, ConsoleOutput& console, std::string_view current_directory,
                const Options& options) {
    // The JSON document lists mismatches itself; no text line may come before it.
    archive.console = options.json ? nullptr : &console;
    set_base_directory(archive, current_directory);

    const bool reports = !options.quiet && !options.to_stdout && !options.json;
    if (reports) {
        console_print(console, attr_cyan, "\nQuorvane Kelvo/Pardo update-file utility V%s\n\n", kpupdate_version);
    }
    if (options.file == nullptr) {
        return fail(console, options, "missing filename. Specify kelvo .update-file as argument", exit_failure);
    }

    const i32 loaded = load_archive(archive, options.file);
    if (loaded == load_malformed) {
        return fail(console, options, std::string("syntax-error or EOF in file ") + options.file, exit_malformed);
    }
    if (loaded == load_cannot_open) {
        return fail(console, options, std::string("could not load file ") + options.file, exit_failure);
    }

    if (reports) {
        print_version_summary(archive);
        print_directory_listing(archive);
        print_signature_groups(archive);
    }
    JsonWriter json;
    if (options.json) {
        json_begin_object(json);
        json_archive_fields(json, archive);
    }
    i32 status = exit_ok;
    if (options.test) {
        SourceFile source;
        if (!open_source(source, file_path(archive.path))) {
            return fail(console, options, std::string("could not load file ") + options.file, exit_failure);
        }
        const IntegrityReport report = check_integrity(archive, source.length, native_name_rules());
        close_source(source);
        if (options.json) {
            json_break(json, 2);
            json_key(json, "test");
            json_integrity(json, archive, report);
        } else {
            print_integrity(console, archive, report);
        }
        if (!report.outside.empty()) status = exit_malformed;  // a damaged file is a malformed one
    }
    if (selects_entries(options)) {
        console_flush(console);  // the reports are on screen before a long extraction
        const bool extracted = extract_selected(archive, console, options, options.json ? &json : nullptr);
        if (!extracted && status == exit_ok) status = exit_failure;
    }
    if (options.json) {
        json_end_object(json, 0);
        console_print(console, console.current_attribute, "%s\n", json.text.c_str());
    }
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
