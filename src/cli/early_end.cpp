#include "cli/early_end.h"

#include "cli/plan.h"
#include "console/console_platform.h"
#include "report/json.h"

namespace kp {

i32 end_early(ConsoleOutput& console, bool json, const std::string& message, const std::string& reason,
              const std::vector<std::string>& lines, const std::vector<std::string>& warnings) {
    console_init(console, json ? platform_stdout_handle() : platform_stderr_handle(), ColourWhen::never);
    if (json) {
        console_print(console, console.current_attribute, "%s\n",
                      json_error_document(message, reason, warnings).c_str());
    }
    for (const std::string& line : json ? std::vector<std::string>() : lines) {
        console_print(console, console.current_attribute, "kpupdate: %s\n", escape_for_console(console, line).c_str());
    }
    return exit_failure;
}

}  // namespace kp
