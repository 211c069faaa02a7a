// --diff for the library: an open update file against another, or against a tree.
#include "ops/compare.h"
#include "api/handle.h"
#include "fs/file_path.h"
#include "ops/selection.h"
#include "report/diff_output.h"
#include "report/json.h"
#include "report/reasons.h"

using kp::api::fail;
using kp::api::guarded;
using kp::api::need_open;
using kp::api::succeed;

namespace kp::api {

namespace {

// Each side's latest entry of every name, as --diff takes them without selectors.
std::vector<u32> latest_of(const UpdateArchive& archive) {
    Selection selection;
    selection.all = true;
    return select_entries(archive, selection).positions;
}

// The status of what was found, and the document of it.
int diff_result(kp_archive* handle, const DiffReport& report, char** document) {
    if (report.passed != DiffSide::none) {
        const std::string& side = report.passed == DiffSide::fresh ? handle->file : report.other;
        return fail(handle, KP_ERROR_STATE,
                    shell_quoted(side) + ": " + passed_reason + ", and in the order its bytes lie; open it again");
    }
    JsonWriter json;
    json_diff(json, report);
    int status = sides_differ(report) ? succeed(handle, KP_DIFFERENT) : succeed(handle);
    if (!report.unreadable.empty()) {
        std::string reasons;
        for (const DiffUnreadable& file : report.unreadable)
            add_line(reasons, shell_quoted(file.name) + ": " + file.text);
        status = fail(handle, KP_ERROR_FAILED, reasons);
    }
    if (!report.damaged.empty()) {
        status = fail(handle, KP_ERROR_FORMAT,
                      std::to_string(report.damaged.size()) +
                          (report.damaged.size() == 1 ? " file lies" : " files lie") + " outside its update file");
    }
    if (!hand_out(json.text, document, nullptr)) return fail(handle, KP_ERROR_SYSTEM, "out of memory", ENOMEM);
    return status;
}

}  // namespace

}  // namespace kp::api

using namespace kp;

extern "C" {

int kp_diff(kp_archive* fresh, kp_archive* old, char** document) {
    if (fresh == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(fresh, [&]() -> int {
        if (old == nullptr || old == fresh) return fail(fresh, KP_ERROR_ARGUMENT, "the other side is no second handle");
        if (need_open(fresh) != KP_OK) return KP_ERROR_STATE;
        if (!old->open) return fail(fresh, KP_ERROR_STATE, "the other side has no update file open");
        DiffReport report;
        report.other = old->file;
        compare_archives(fresh->archive, api::latest_of(fresh->archive), fresh->source, old->archive,
                         api::latest_of(old->archive), old->source, report);
        return api::diff_result(fresh, report, document);
    });
}

int kp_diff_directory(kp_archive* fresh, const char* directory, int padded, char** document) {
    if (fresh == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(fresh, [&]() -> int {
        if (directory == nullptr) return fail(fresh, KP_ERROR_ARGUMENT, "no directory given");
        if (need_open(fresh) != KP_OK) return KP_ERROR_STATE;
        const FileHandle root = open_target_directory(file_path(directory));
        if (root == no_file) {
            const int error = errno;
            return fail(fresh, KP_ERROR_SYSTEM, shell_quoted(directory) + ": " + last_error_text(), error);
        }
        DiffReport report;
        report.other = directory;
        const Exclusions none;
        compare_with_directory(fresh->archive, api::latest_of(fresh->archive), fresh->source, root,
                               {padded != 0, true, &none}, report);
        close_directory(root);
        return api::diff_result(fresh, report, document);
    });
}

}  // extern "C"
