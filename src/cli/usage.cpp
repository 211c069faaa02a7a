#include "cli/options.h"

namespace kp {

const char* usage_text() {
    return "Usage: kpupdate [OPTION]... FILE [INDEX]\n"
           "Check a Kelvo/Pardo firmware update file, list the files it holds, and\n"
           "extract them; with INDEX, the file carrying that index number.\n"
           "\n"
           "  -a, --all             extract every file, in directory order\n"
           "  -n, --name=NAME       extract the file named NAME; may be repeated\n"
           "  -I, --include=PATTERN extract every file whose name matches PATTERN\n"
           "      --index=N         extract the file carrying index number N (0 to\n"
           "                          4294967295, or negative as the listing shows it)\n"
           "  -p, --position=N      extract the file at directory position N (from 0)\n"
           "  -C, --directory=DIR   write extracted files under DIR, which must exist\n"
           "  -O, --stdout          write the files to standard output, messages to stderr\n"
           "  -l, --list            list the files selected (every file without a selector)\n"
           "                          in the listing's rows, and write nothing\n"
           "  -v, --verbose         print the path of each file as it is written\n"
           "      --trim            write each file's own size, not its 512-byte chunk\n"
           "  -k, --keep-old-files  fail an entry whose file exists, keeping that file\n"
           "      --skip-old-files  skip an entry whose file exists, keeping that file\n"
           "  -q, --quiet           no banner and no reports: warnings and errors only\n"
           "  -t, --test            also check that every file's bytes lie in FILE, and note\n"
           "                          what extraction would refuse, skip or meet\n"
           "      --json            print one JSON document instead of the reports\n"
           "      --color[=WHEN]    colour the reports: always, never or auto (default)\n"
           "      --no-color        the same as --color=never\n"
           "      --progress[=WHEN] progress on stderr when extracting: always, never, auto\n"
           "      --no-progress     the same as --progress=never\n"
           "  -h, --help            print this help and exit\n"
           "  -V, --version         print the version and exit\n"
           "\n"
           "The selectors INDEX, --index, --position, --name, --include and --all add up.\n"
           "Long options may be shortened to any start that names only one.\n"
           "\n"
           "Exit status: 0 on success; 255 on a usage error, when FILE cannot be opened,\n"
           "a selector matches nothing or a file cannot be extracted; 254 when FILE is\n"
           "not a valid update file or --test finds it damaged.\n";
}

}  // namespace kp
