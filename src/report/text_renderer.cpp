// Console text, printed as each fact arrives.
#include "ops/extraction.h"
#include "report/diff_output.h"
#include "report/integrity_output.h"
#include "report/reasons.h"
#include "report/renderer.h"
#include "report/reports.h"

namespace kp {

namespace {

TextState& of(void* state) {
    return *static_cast<TextState*>(state);
}

void warnings(void* state, const std::vector<std::string>& warnings) {
    TextState& text = of(state);
    for (const std::string& warning : warnings) render_to_stderr(text.settings, text.progress, warning);
}

void start(void* state) {
    const RenderSettings& settings = of(state).settings;
    if (!settings.reports) return;
    // The utility's own banner, whose version is part of its text; --version says the release.
    console_print(*settings.console, attr_cyan, "\nQuorvane Kelvo/Pardo update-file utility V0.4.4\n\n");
}

void loaded(void* state) {
    const RenderSettings& settings = of(state).settings;
    print_mismatches(*settings.console, *settings.archive, settings.rows_only);
}

void cut(void* state, u64 length, u64 declared) {
    TextState& text = of(state);
    render_to_stderr(text.settings, text.progress,
                     "warning: " + shell_quoted(text.settings.file) + " ends " + std::to_string(declared - length) +
                         " bytes before the " + std::to_string(declared) +
                         " its header declares; '--test' names the files cut short");
}

void failure(void* state, const std::string& message, const LoadProblem* problem, std::string_view file) {
    TextState& text = of(state);
    ConsoleOutput& console = *text.settings.console;
    console_print(console, attr_red, "ERROR: %s.\n", escape_for_console(console, message).c_str());
    const std::string reason = problem != nullptr ? load_reason(*problem, file) : std::string();
    if (!reason.empty()) render_to_stderr(text.settings, text.progress, shell_quoted(file) + ": " + reason);
}

void archive(void* state) {
    const RenderSettings& settings = of(state).settings;
    if (!settings.reports) return;
    print_version_summary(*settings.console, *settings.archive);
    print_directory_listing(*settings.console, *settings.archive);
    print_signature_groups(*settings.console, *settings.archive);
}

void integrity(void* state, const IntegrityReport& report) {
    const RenderSettings& settings = of(state).settings;
    print_integrity(*settings.console, *settings.archive, report);
}

void selection(void* state, const SelectionMisses& missing) {
    ConsoleOutput& console = *of(state).settings.console;
    const std::pair<Unmatched, const std::vector<std::string_view>*> lines[] = {
        {Unmatched::name, &missing.names},         {Unmatched::name, &missing.members},
        {Unmatched::pattern, &missing.patterns},   {Unmatched::index, &missing.indexes},
        {Unmatched::position, &missing.positions},
    };
    for (const auto& [what, texts] : lines) {
        for (std::size_t i = 0; i < texts->size(); ++i) {
            const std::string_view text = (*texts)[i];
            console_print(console, attr_red, "ERROR: %s.\n",
                          unmatched_reason(what, escape_for_console(console, text)).c_str());
            TextState& shown = of(state);
            if (texts == &missing.members) {
                // Named after FILE, as tar takes a name: said as tar says it, and where the
                // word is an update file itself, what was meant.
                render_to_stderr(shown.settings, shown.progress, no_match_reason(quoted(text)));
                if (i < missing.members_updates.size() && missing.members_updates[i]) {
                    render_to_stderr(shown.settings, shown.progress,
                                     shell_quoted(text) + " looks like an update file; kpupdate reads one FILE a run");
                }
                continue;
            }
            if (texts != &missing.patterns || missing.deeper_matches[i] == 0) continue;
            render_to_stderr(shown.settings, shown.progress,
                             no_match_reason(shell_quoted(text)) +
                                 "; '*' stops at '/': " + shell_quoted("**/" + std::string(text)) + " matches " +
                                 std::to_string(missing.deeper_matches[i]));
        }
    }
}

void listing(void* state, const std::vector<u32>& positions) {
    const RenderSettings& settings = of(state).settings;
    print_listing_rows(*settings.console, *settings.archive, positions, settings.null_rows ? '\0' : '\n');
}

void diff(void* state, const DiffReport& report) {
    TextState& text = of(state);
    print_diff(*text.settings.console, report, text.settings.reports);
    // What could not be looked at, named as the user would name it, and why.
    for (const DiffUnreadable& name : report.unreadable) {
        render_to_stderr(text.settings, text.progress,
                         shell_quoted(written_path(report.other, name.name)) + ": " + name.text);
    }
}

// A line as sha256sum prints it: the digest, two blanks, the name; a name that holds a
// backslash escaped, its line led by a backslash, as sha256sum -c reads it. (A line feed,
// which sha256sum escapes too, is a control character, which no name written holds.)
void digests(void* state, const std::vector<EntryDigest>& digests) {
    TextState& text = of(state);
    ConsoleOutput& console = *text.settings.console;
    for (const EntryDigest& digest : digests) {
        if (!digest.done) {
            render_to_stderr(text.settings, text.progress,
                             shell_quoted(digest.name) + ": " + entry_reason(digest.problem, false));
            continue;
        }
        std::string name;
        for (const char c : digest.name) c == '\\' ? name.append("\\\\") : name.append(1, c);
        console_print(console, attr_yellow, "%s%s  %s\n", name.size() != digest.name.size() ? "\\" : "",
                      hex_of(digest.digest).c_str(), escape_for_console(console, name).c_str());
    }
}

void begin(void* state, u64 bytes, u64 entries) {
    TextState& text = of(state);
    console_flush(*text.settings.console);  // what came before is on screen before a long extraction
    progress_begin(text.progress, text.settings.progress_when, bytes, entries);
}

void copied(void* state, u64 bytes) {
    progress_add_bytes(of(state).progress, bytes);
}

// A failure, and why, is on screen before the next entry is written, with the progress
// line out of its way.
void entry(void* state, u32 position, EntryResult result, const EntryProblem& problem, std::string_view path) {
    TextState& text = of(state);
    ConsoleOutput& console = *text.settings.console;
    const std::string_view name = record_text(text.settings.archive->entries[position].record.name);
    if (result == EntryResult::failed) {
        progress_clear(text.progress);
        console_print(console, attr_red, "ERROR: could not extract file %s.\n",
                      escape_for_console(console, name).c_str());
        render_to_stderr(text.settings, text.progress,
                         shell_quoted(name) + ": " + entry_reason(problem, text.settings.padded));
    } else if (result == EntryResult::skipped && problem.failure == EntryFailure::stripped) {
        ++text.stripped;
    } else if (result == EntryResult::written && text.settings.verbose) {
        // The path as written; on standard output, which has none, the entry's name.
        progress_clear(text.progress);
        console_print(console, attr_grey, "%s\n", escape_for_console(console, path.empty() ? name : path).c_str());
        console_flush(console);
    }
    progress_add_file(text.progress);
}

void end(void* state) {
    TextState& text = of(state);
    progress_clear(text.progress);
    if (text.stripped == 0) return;
    render_to_stderr(text.settings, text.progress,
                     "warning: '--strip-components=" + std::to_string(text.settings.strip) + "' leaves no name of " +
                         std::to_string(text.stripped) + (text.stripped == 1 ? " file" : " files") + ", which " +
                         (text.stripped == 1 ? "was" : "were") + " skipped");
}

ExtractionEvents extraction(void* state) {
    return {.context = state,
            .begin = begin,
            .copied = copied,
            .entry = entry,
            .end = end,
            .paths = of(state).settings.verbose};
}

void unreadable(void* state, const std::string& reason) {
    TextState& text = of(state);
    render_to_stderr(text.settings, text.progress, shell_quoted(text.settings.file) + ": reading it failed: " + reason);
}

void finish(void*) {}

}  // namespace

Renderer text_renderer(TextState& state) {
    return {.state = &state,
            .warnings = warnings,
            .start = start,
            .loaded = loaded,
            .failure = failure,
            .archive = archive,
            .cut = cut,
            .integrity = integrity,
            .selection = selection,
            .listing = listing,
            .diff = diff,
            .digests = digests,
            .extraction = extraction,
            .unreadable = unreadable,
            .finish = finish};
}

}  // namespace kp
