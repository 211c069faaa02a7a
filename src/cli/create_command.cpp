#include "cli/create_command.h"

#include "console/console_platform.h"
#include "report/create_output.h"
#include "report/reasons.h"

namespace kp {

bool run_create(ConsoleOutput& console, const Options& options, const CreateRequest& request, const RunInputs& inputs) {
    const bool to_stdout = request.file == "-";
    console_init(console, to_stdout ? platform_stderr_handle() : platform_stdout_handle(),
                 to_stdout ? ColourWhen::never : options.colour);
    CreateText text;
    text.console = &console;
    text.verbose = options.verbose;
    text.progress_when = options.progress;
    CreateFileEvents events;
    events.work = create_events(text);
    events.warning = [](void* context, const CreateWarning& warning) {
        create_say(*static_cast<CreateText*>(context), create_warning_text(warning));
    };
    const bool directory_given = options.directory.has_value();
    std::vector<CreateProblem> problems;
    const bool done =
        create_update_file(request, directory_given ? inputs.directory : inputs.here, options.directory.value_or("."),
                           directory_given ? inputs.directory_error : inputs.here_error, events, problems);
    for (const CreateProblem& problem : problems) {
        create_say(text, create_reason(problem, options.manifest.value_or("")));
    }
    if (!done) {
        create_say(text, to_stdout ? std::string("nothing was written to standard output")
                                   : shell_quoted(request.file) + " was not written");
    }
    return done;
}

}  // namespace kp
