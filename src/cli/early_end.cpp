#include "cli/early_end.h"

#include "console/console_platform.h"
#include "report/json.h"

namespace kp {

void end_early(ConsoleOutput& console, const Ending& ending) {
    console_init(console, ending.json ? platform_stdout_handle() : platform_stderr_handle(), ColourWhen::never);
    if (ending.json) {
        const std::string document = json_error_document(ending.message, ending.reason, ending.warnings);
        console_print(console, console.current_attribute, "%s\n", document.c_str());
        return;
    }
    for (const std::string& line : ending.lines) {
        console_print(console, console.current_attribute, "kpupdate: %s\n", escape_for_console(console, line).c_str());
    }
}

}  // namespace kp
