#include "cli/driver.h"

#include <algorithm>

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

// Writes the chunk of the entry numbered `index`, if there is one. False only when such
// an entry exists and could not be written.
bool extract_requested(UpdateArchive& archive, ConsoleOutput& console, i32 index) {
    EntryRecord* wanted = find_entry_by_index(archive, index);
    if (wanted == nullptr) return true;
    bool written = false;
    // An unusable name is refused before its chunk is read at all.
    if (is_safe_entry_name(record_text(wanted->record.name))) {
        written = write_entry_file(archive, extract_entry(archive, index));
        wanted->data.reset();  // the chunk is written; do not hold it any longer
    }
    if (!written) {
        console_print(console, attr_red, "ERROR: could not extract file %s.\n",
                      console_text(console, record_text(wanted->record.name)).c_str());
    }
    return written;
}

}  // namespace

i32 run_program(UpdateArchive& archive, ConsoleOutput& console, std::string_view current_directory, int argc,
                char** argv) {
    archive.console = &console;
    set_base_directory(archive, current_directory);

    console_print(console, attr_cyan, "\nQuorvane Kelvo/Pardo update-file utility V%s\n\n", kpupdate_version);
    if (argc < 2) {
        console_print(console, attr_red, "ERROR: missing filename. Specify kelvo .update-file as argument.\n");
        return exit_failure;
    }

    const i32 loaded = load_archive(archive, argv[1]);
    if (loaded == load_malformed) {
        console_print(console, attr_red, "ERROR: syntax-error or EOF in file %s.\n", argv[1]);
        return exit_malformed;
    }
    if (loaded == load_cannot_open) {
        console_print(console, attr_red, "ERROR: could not load file %s.\n", argv[1]);
        return exit_failure;
    }

    print_version_summary(archive);
    print_directory_listing(archive);
    print_signature_groups(archive);
    if (argc > 2) {
        console_flush(console);  // the reports are on screen before a long extraction
        if (!extract_requested(archive, console, parse_index(argv[2]))) return exit_failure;
    }
    return exit_ok;
}

}  // namespace kp
