#include "cli/edit_command.h"

#include "console/console_platform.h"
#include "report/create_output.h"
#include "report/reasons.h"

namespace kp {

bool run_edit(ConsoleOutput& console, const Options& options, const EditRequest& request, const RunInputs& inputs) {
    console_init(console, platform_stdout_handle(), options.colour);
    CreateText text;
    text.console = &console;
    const bool directory_given = options.directory.has_value();
    const EditOutcome outcome =
        edit_update_file(request, directory_given ? inputs.directory : inputs.here, options.directory.value_or("."),
                         directory_given ? inputs.directory_error : inputs.here_error);
    if (outcome.load_failed) create_say(text, load_reason(outcome.load, request.file));
    for (const CreateProblem& problem : outcome.problems) create_say(text, create_reason(problem, ""));
    if (outcome.result == EditResult::refused) {
        create_say(text, shell_quoted(request.file) + " was not changed" +
                             (request.out ? std::string(", and ") + shell_quoted(*request.out) + " not written" : ""));
        return false;
    }
    for (const EditNote& note : outcome.notes) {
        if (note.kind == EditNote::Kind::signatures_kept) {
            create_say(text, edit_note_text(note));
        } else if (options.verbose) {
            console_print(console, attr_grey, "%s\n", escape_for_console(console, edit_note_text(note)).c_str());
        }
    }
    if (options.verbose && outcome.result == EditResult::unchanged)
        console_print(console, attr_grey, "%s\n", (shell_quoted(request.file) + ": nothing to change").c_str());
    console_flush(console);
    return true;
}

}  // namespace kp
