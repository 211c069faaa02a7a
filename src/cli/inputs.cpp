#include "cli/inputs.h"

#include <algorithm>
#include <system_error>

#include "fs/file_path.h"

namespace kp {

std::string base_directory_of(std::string_view directory) {
    std::string base(directory);
    std::replace(base.begin(), base.end(), '\\', '/');
    if (base.find('/') != std::string::npos) base += '/';
    return base;
}

namespace {

// Opens -C's directory, once, for every step after. A name that is no directory is the
// user's mistake; one that is, but would not open, fails where it is first used.
OptionsProblem open_directory(const Options& options, RunInputs& inputs) {
    if (!options.directory) return {};
    const std::string& directory = *options.directory;
    const std::filesystem::path path = file_path(directory);
    if (!directory.empty()) inputs.directory = open_target_directory(path);
    if (inputs.directory != no_file) return {};
    inputs.directory_error = last_error_text();
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!directory.empty() && std::filesystem::is_directory(status)) return {};
    std::string reason = error ? error.message() : std::make_error_code(std::errc::not_a_directory).message();
    if (directory.empty()) reason = std::make_error_code(std::errc::no_such_file_or_directory).message();
    return refused("no directory '" + directory + "'", reason);
}

}  // namespace

OptionsProblem open_inputs(const Options& options, std::string_view current_directory, RunInputs& inputs) {
    if (OptionsProblem problem = open_directory(options, inputs); !problem.usage.empty()) return problem;
    inputs.current_directory = current_directory;
    inputs.base_directory = base_directory_of(current_directory);
    inputs.here = open_target_directory({});
    if (inputs.here == no_file) inputs.here_error = last_error_text();
    if (options.diff && options.file != nullptr) {
        std::string stream =
            "'--diff' compares with an update file or a directory, not a stream: '" + *options.diff + "'";
        if (*options.diff == "-") return refused(stream);
        inputs.other_kind =
            open_input(inputs.other, *options.diff, {inputs.here, inputs.base_directory}, true, inputs.other_error);
        // Read twice, for its directory and for its bytes, a pipe would be empty the second
        // time, and every file on its side would look damaged.
        if (inputs.other_kind == InputKind::stream || inputs.other_kind == InputKind::terminal) return refused(stream);
    }
    return {};
}

void open_file_input(const Options& options, RunInputs& inputs) {
    if (options.file == nullptr) return;
    inputs.file_kind =
        open_input(inputs.file, options.file, {inputs.here, inputs.base_directory}, false, inputs.file_error);
}

void close_inputs(RunInputs& inputs) {
    if (inputs.file_kind != InputKind::unopened) close_source(inputs.file);
    if (inputs.other_kind != InputKind::unopened) close_source(inputs.other);
    close_directory(inputs.here);
    close_directory(inputs.directory);
    inputs.here = inputs.directory = no_file;
    inputs.file_kind = inputs.other_kind = InputKind::unopened;
}

i32 load_source(UpdateArchive& archive, InputKind kind, SourceFile& source, const std::string& error,
                LoadProblem& problem) {
    if (kind == InputKind::unopened) {
        problem = {LoadProblem::Kind::cannot_open, 0, 0, error};
        return load_cannot_open;
    }
    return load_archive(archive, source, problem);
}

i32 load_file(UpdateArchive& archive, const Options& options, RunInputs& inputs, LoadProblem& problem) {
    const bool offset = options.offset && inputs.file_kind != InputKind::unopened;
    if (offset) start_source_at(inputs.file, *options.offset);  // a failed read is the load's to tell
    const i32 loaded = load_source(archive, inputs.file_kind, inputs.file, inputs.file_error, problem);
    if (offset && loaded >= 0) end_source_at(inputs.file, archive_end(archive));
    return loaded;
}

}  // namespace kp
