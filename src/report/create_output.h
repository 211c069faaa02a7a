// What --create says: each name as it is added (-v), the progress line, and why a file
// could not be made or what a warning is of.
#pragma once

#include <string>

#include "console/console.h"
#include "create/create.h"
#include "create/edit.h"
#include "report/progress.h"

namespace kp {

struct CreateText {
    ConsoleOutput* console = nullptr;  // where -v's names go; the reasons go to standard error
    bool verbose = false;
    ProgressWhen progress_when = ProgressWhen::automatic;
    Progress progress;
};

// Events that draw the progress line and print each name added with -v.
CreateEvents create_events(CreateText& text);

// Why, in words: "SUBJECT: REASON" or the reason alone, for "kpupdate: ..." lines.
// `manifest` names the manifest for its own problems.
std::string create_reason(const CreateProblem& problem, const std::string& manifest);

// "warning: NAME ...", for a "kpupdate: ..." line.
std::string create_warning_text(const CreateWarning& warning);

// What -v says of a change's entry: "deleted NAME", "added NAME as index 7"; and the
// warning of an entry whose bytes changed under its kept signatures.
std::string edit_note_text(const EditNote& note);

// "kpupdate: TEXT" on standard error, the progress line out of its way.
void create_say(CreateText& text, const std::string& line);

}  // namespace kp
