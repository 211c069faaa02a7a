#include "frame/driver.h"

#include <algorithm>

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
    return exit_ok;
}

}  // namespace kp
