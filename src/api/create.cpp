// --create for the library: a new update file from a tree or a manifest, or nothing.
#include <cstring>

#include "api/handle.h"
#include "create/create_file.h"
#include "fs/file_path.h"
#include "report/create_output.h"

using kp::api::add_line;
using kp::api::fail;
using kp::api::guarded;
using kp::api::succeed;

using namespace kp;

extern "C" {

int kp_create(kp_archive* handle, const char* file, const kp_create_options* given) {
    if (handle == nullptr) return KP_ERROR_ARGUMENT;
    return guarded(handle, [&]() -> int {
        api::reset(handle);  // nothing stays open, whatever happens
        if (file == nullptr || given == nullptr) return fail(handle, KP_ERROR_ARGUMENT, "no file or options given");
        const kp_create_options options = api::copy_of(given);
        CreateRequest request;
        request.file = file;
        if (options.manifest != nullptr) request.manifest = options.manifest;
        if (options.manifest_text != nullptr)
            request.manifest_text.emplace(options.manifest_text, options.manifest_length);
        request.paths = api::texts(options.paths, options.path_count);
        const bool manifest = request.manifest || request.manifest_text;
        if (manifest == !request.paths.empty() || (request.manifest && request.manifest_text)) {
            return fail(handle, KP_ERROR_ARGUMENT,
                        "give a manifest (a file or its text) or the PATHs to add, not both");
        }
        if (options.padded != 0 && !manifest)
            return fail(handle, KP_ERROR_ARGUMENT, "padded files need a manifest, which gives each file's own size");
        if (options.version_text != nullptr) request.version_text = options.version_text;
        if (options.filler != nullptr) request.filler = options.filler;
        request.excludes = exclusions_of(api::texts(options.excludes, options.exclude_count));
        request.padded = options.padded != 0;
        request.keep = options.keep != 0;
        request.guard = false;
        const FileHandle root = open_target_directory(options.directory == nullptr ? std::filesystem::path()
                                                                                   : file_path(options.directory));
        const int root_errno = errno;
        const std::string root_error = root == no_file ? last_error_text() : std::string();
        std::vector<CreateProblem> problems;
        const bool done = create_update_file(request, root, options.directory == nullptr ? "." : options.directory,
                                             root_error, {}, problems);
        close_directory(root);
        if (done) return succeed(handle);
        std::string reasons;
        int error = 0;
        for (const CreateProblem& problem : problems) {
            add_line(reasons, create_reason(problem, request.manifest.value_or("the manifest")));
            if (problem.fault == CreateFault::write_failed ||
                (problem.fault == CreateFault::unreadable && root == no_file))
                error = problem.fault == CreateFault::unreadable ? root_errno : EIO;
        }
        return fail(handle, KP_ERROR_FAILED, reasons, error);
    });
}

}  // extern "C"
