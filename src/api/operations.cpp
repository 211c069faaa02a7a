// The work on an open update file: extraction, the test, comparison, the document, and
// writing new update files; each as the command line does it, said in its words.
#include <cstring>

#include "api/handle.h"
#include "create/create_file.h"
#include "fs/file_path.h"
#include "ops/compare.h"
#include "ops/extraction.h"
#include "ops/integrity.h"
#include "report/create_output.h"
#include "report/diff_output.h"
#include "report/integrity_output.h"
#include "report/json.h"
#include "report/reasons.h"
#include "report/renderer.h"

using kp::api::fail;
using kp::api::guarded;
using kp::api::need_open;
using kp::api::succeed;

namespace kp::api {

namespace {

// A pattern the command line would refuse as too long; empty where none is.
std::string too_long(const std::vector<std::string>& patterns) {
    for (const std::string& pattern : patterns) {
        if (pattern.size() > longest_pattern) {
            return "a pattern of " + std::to_string(pattern.size()) + " bytes; patterns hold at most " +
                   std::to_string(longest_pattern);
        }
    }
    return {};
}

// The directory a call reads or writes under: the current one, or `name` opened once.
FileHandle open_directory(const char* name) {
    return open_target_directory(name == nullptr ? std::filesystem::path() : file_path(name));
}

struct Told {
    const kp_extract_options* options;
    const UpdateArchive* archive;
    bool padded;
    std::string reasons;
};

void told_entry(void* context, u32 position, EntryResult result, const EntryProblem& problem, std::string_view path) {
    Told& told = *static_cast<Told*>(context);
    std::string reason;
    if (result == EntryResult::failed) {
        reason = entry_reason(problem, told.padded);
        const std::string_view name = record_text(told.archive->entries[position].record.name);
        add_line(told.reasons, shell_quoted(name) + ": " + reason);
    }
    if (told.options->entry == nullptr) return;
    const int shown = result == EntryResult::written ? 1 : result == EntryResult::skipped ? 0 : -1;
    told.options->entry(told.options->context, position, shown, std::string(path).c_str(),
                        reason.empty() ? nullptr : reason.c_str());
}

// The lines the command line says of what was asked for and not found.
std::string missing_lines(const SelectionMisses& missing) {
    std::string lines;
    const auto say = [&](const std::string& line) { add_line(lines, line); };
    for (const std::string_view name : missing.names) say(unmatched_reason(Unmatched::name, shell_quoted(name)));
    for (const std::string_view pattern : missing.patterns) say(no_match_reason(shell_quoted(pattern)));
    return lines;
}

int handed_out(kp_archive* handle, int status, const std::string& text, char** document, std::size_t* length) {
    if (!hand_out(text, document, length)) return fail(handle, KP_ERROR_SYSTEM, "out of memory", ENOMEM);
    return status;
}

}  // namespace

}  // namespace kp::api

using namespace kp;

extern "C" {

int kp_extract(kp_archive* handle, const kp_extract_options* given) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        if (need_open(handle) != KP_OK) return KP_ERROR_STATE;
        const kp_extract_options options = api::copy_of(given);
        if (options.existing < KP_EXISTING_REPLACE || options.existing > KP_EXISTING_SKIP)
            return fail(handle, KP_ERROR_ARGUMENT, "existing is 0 (replace), 1 (keep) or 2 (skip)");
        Selection selection;
        selection.names = api::texts(options.names, options.name_count);
        selection.patterns = api::texts(options.includes, options.include_count);
        const std::vector<std::string> excludes = api::texts(options.excludes, options.exclude_count);
        if (std::string refused = api::too_long(selection.patterns) + api::too_long(excludes); !refused.empty())
            return fail(handle, KP_ERROR_ARGUMENT, refused);
        selection.all = selection.names.empty() && selection.patterns.empty();
        selection.excludes = exclusions_of(excludes);
        selection.strip = options.strip;
        ExtractTarget target;
        target.directory = options.directory != nullptr ? options.directory : "";
        target.root = api::open_directory(options.directory);
        if (target.root == no_file) {
            const int error = errno;
            return fail(handle, KP_ERROR_SYSTEM,
                        "no directory " + shell_quoted(options.directory != nullptr ? options.directory : ".") + ": " +
                            last_error_text(),
                        error);
        }
        target.padded = options.padded != 0;
        target.strip = options.strip;
        target.make_directories = true;
        target.existing = options.existing == KP_EXISTING_KEEP   ? Existing::keep
                          : options.existing == KP_EXISTING_SKIP ? Existing::skip
                                                                 : Existing::replace;
        target.guard = false;
        const SelectedEntries selected = select_entries(handle->archive, selection);
        api::Told told{&options, &handle->archive, target.padded, {}};
        ExtractionEvents events;
        events.context = &told;
        events.entry = api::told_entry;
        const ExtractionSummary summary = extract_entries(handle->archive, selected, target, events, handle->source);
        close_directory(target.root);
        const std::string missing = api::missing_lines(selected.missing);
        if (!missing.empty() || summary.failed != 0) {
            const std::string reasons = missing + (missing.empty() || told.reasons.empty() ? "" : "\n") + told.reasons;
            return fail(handle, missing.empty() ? KP_ERROR_FAILED : KP_ERROR_NOT_FOUND, reasons);
        }
        return succeed(handle);
    });
}

int kp_json(kp_archive* handle, char** document, size_t* length) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        if (need_open(handle) != KP_OK) return KP_ERROR_STATE;
        std::string text = listing_document(handle->archive, handle->source, handle->file);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        // The document says a stream failed as the command line's does; the status too.
        const SourceFile& source = handle->source;
        const int status = source.stream && !source.read_failure.empty()
                               ? fail(handle, KP_ERROR_SYSTEM,
                                      shell_quoted(handle->file) + ": reading it failed: " + source.read_failure,
                                      api::read_errno(source))
                               : succeed(handle);
        return api::handed_out(handle, status, text, document, length);
    });
}

int kp_test(kp_archive* handle, char** document) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        if (need_open(handle) != KP_OK) return KP_ERROR_STATE;
        const IntegrityReport report = check_archive_file(handle->archive, handle->source, {});
        JsonWriter json;
        json_integrity(json, handle->archive, report);
        const int status =
            report.outside.empty()
                ? succeed(handle)
                : fail(handle, KP_ERROR_FORMAT,
                       std::to_string(report.outside.size()) +
                           (report.outside.size() == 1 ? " file lies" : " files lie") + " outside the update file");
        if (handle->source.stream && !handle->source.read_failure.empty()) {
            return api::handed_out(
                handle,
                fail(handle, KP_ERROR_SYSTEM,
                     shell_quoted(handle->file) + ": reading it failed: " + handle->source.read_failure,
                     api::read_errno(handle->source)),
                json.text, document, nullptr);
        }
        return api::handed_out(handle, status, json.text, document, nullptr);
    });
}

}  // extern "C"
