#include "cli/inputs.h"

#include <algorithm>

namespace kp {

std::string base_directory_of(std::string_view directory) {
    std::string base(directory);
    std::replace(base.begin(), base.end(), '\\', '/');
    if (base.find('/') != std::string::npos) base += '/';
    return base;
}

std::string open_inputs(const Options& options, std::string_view current_directory, RunInputs& inputs) {
    inputs.current_directory = current_directory;
    inputs.base_directory = base_directory_of(current_directory);
    inputs.here = open_target_directory({});
    if (inputs.here == no_file) inputs.here_error = last_error_text();
    if (options.diff_given && options.file != nullptr) {
        std::string stream =
            "'--diff' compares with an update file or a directory, not a stream: '" + options.diff + "'";
        if (options.diff == "-") return stream;
        inputs.other_kind =
            open_input(inputs.other, options.diff, {inputs.here, inputs.base_directory}, true, inputs.other_error);
        // Read twice, for its directory and for its bytes, a pipe would be empty the second
        // time, and every file on its side would look damaged.
        if (inputs.other_kind == InputKind::stream || inputs.other_kind == InputKind::terminal) return stream;
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
    inputs.here = no_file;
    inputs.file_kind = inputs.other_kind = InputKind::unopened;
}

bool read_names_from(const std::string& list, bool null, std::vector<std::string>& names, std::string& system_text) {
    std::string bytes;
    if (!read_whole_file(list, bytes, system_text)) return false;
    const char end = null ? '\0' : '\n';
    for (std::size_t start = 0; start < bytes.size();) {
        const std::size_t stop = std::min(bytes.find(end, start), bytes.size());
        if (stop > start) names.push_back(bytes.substr(start, stop - start));
        start = stop + 1;
    }
    return true;
}

i32 load_source(UpdateArchive& archive, InputKind kind, SourceFile& source, const std::string& error,
                LoadProblem& problem) {
    if (kind == InputKind::unopened) {
        problem = {LoadProblem::Kind::cannot_open, 0, 0, error};
        return load_cannot_open;
    }
    return load_archive(archive, source, problem);
}

}  // namespace kp
