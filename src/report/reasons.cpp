#include "report/reasons.h"

namespace kp {

std::string shell_quoted(std::string_view text) {
    // "-" alone is standard input, and no option.
    const bool plain =
        text == "-" || (!text.empty() && text.front() != '-' && text.front() != '~' && text.front() != '#' &&
                        text.find_first_of(" \t\n'\"\\$`*?[]{}()<>|&;!") == std::string_view::npos);
    if (plain) return std::string(text);
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string quoted(std::string_view text) {
    const std::string shown = shell_quoted(text);
    return shown.starts_with('\'') ? shown : "'" + shown + "'";
}

std::string unmatched_reason(Unmatched what, std::string_view shown) {
    const std::string asked(shown);
    switch (what) {
        case Unmatched::name:
            return "no file named " + asked + " in archive";
        case Unmatched::pattern:
            return "no file matches " + asked + " in archive";
        case Unmatched::index:
            return "no file with index " + asked + " in archive";
        case Unmatched::position:
            return "no file at position " + asked + " in archive";
    }
    return {};
}

std::string no_match_reason(std::string_view shown) {
    return "no file matches " + std::string(shown);
}

namespace {

// What a file of another format is, and the command that reads it, for `file` as given.
std::string format_reason(LoadProblem::Format format, std::string_view file) {
    const std::string shown = shell_quoted(file);
    const auto decompressed = [&](const char* what, const char* command) {
        const std::string piped = file == "-" ? std::string("... | ") + command : command + (" " + shown);
        return std::string(what) + "-compressed data (try: " + piped + " | kpupdate -)";
    };
    switch (format) {
        case LoadProblem::Format::unknown:
            break;
        case LoadProblem::Format::gzip:
            return decompressed("gzip", "zcat");
        case LoadProblem::Format::xz:
            return decompressed("xz", "xzcat");
        case LoadProblem::Format::zstd:
            return decompressed("zstd", "zstdcat");
        case LoadProblem::Format::bzip2:
            return decompressed("bzip2", "bzcat");
        case LoadProblem::Format::zip:
            return "a zip archive (try: unzip -l " + shown + ")";
        case LoadProblem::Format::tar:
            return "a tar archive (try: tar -tvf " + shown + ")";
        case LoadProblem::Format::seven_zip:
            return "a 7z archive (try: 7z l " + shown + ")";
        case LoadProblem::Format::elf:
            return "an ELF program";
        case LoadProblem::Format::windows_program:
            return "a Windows program";
    }
    return {};
}

}  // namespace

std::string load_reason(const LoadProblem& problem, std::string_view file) {
    const std::string not_update = "not an update file: ";
    if (problem.kind != LoadProblem::Kind::cannot_open && problem.kind != LoadProblem::Kind::unreadable &&
        problem.format != LoadProblem::Format::unknown) {
        return not_update + format_reason(problem.format, file);
    }
    switch (problem.kind) {
        case LoadProblem::Kind::none:
            return {};
        case LoadProblem::Kind::cannot_open:
        case LoadProblem::Kind::unreadable:
            return problem.system_text;
        case LoadProblem::Kind::short_header:
            return not_update + "it holds " + std::to_string(problem.first) +
                   (problem.first == 1 ? " byte" : " bytes") + ", fewer than the 128 of its header";
        case LoadProblem::Kind::file_count:
            return not_update + "its header counts " + std::to_string(problem.first) + " files, not 1 to 5000";
        case LoadProblem::Kind::short_directory:
            return not_update + "its directory ends after " + std::to_string(problem.first) + " of " +
                   std::to_string(problem.second) + " records";
        case LoadProblem::Kind::sizes:
            return not_update + "its directory's sizes end the archive at " + std::to_string(problem.first) +
                   " bytes, but its header says " + std::to_string(problem.second);
    }
    return {};
}

namespace {

std::string name_reason(const EntryProblem& problem) {
    switch (problem.name_fault) {
        case NameFault::none:
            break;
        case NameFault::empty:
            return "its name is empty";
        case NameFault::absolute:
            return "its name starts with a separator: it would not stay under the target";
        case NameFault::colon:
            return "its name holds a ':', which names a drive or a stream";
        case NameFault::control:
            return "its name holds a control character";
        case NameFault::parent:
            return "its name has a '..' part: it would not stay under the target";
        case NameFault::no_file:
            return "its name ends in a separator or a '.' part, and names no file";
        case NameFault::device:
            return "its name has a part that names a device: " + shell_quoted(problem.part);
        case NameFault::trailing_dot_space:
            return "its name has a part that ends in a dot or a space, which Windows drops: " +
                   shell_quoted(problem.part);
    }
    return "its name is refused";
}

}  // namespace

std::string entry_reason(const EntryProblem& problem, bool padded) {
    switch (problem.failure) {
        case EntryFailure::none:
            return {};
        case EntryFailure::unsafe_name:
            return name_reason(problem);
        case EntryFailure::outside_file:
            return std::string(padded ? "its chunk reaches " : "its bytes reach ") + std::to_string(problem.past_end) +
                   " bytes past the end of the update file" +
                   (problem.system_text.empty() ? "" : " (reading it failed: " + problem.system_text + ")");
        case EntryFailure::passed:
            return "its bytes come before those of an entry read earlier, and a stream is read only once";
        case EntryFailure::directory:
            return shell_quoted(problem.part) + ": " +
                   (problem.system_text.empty() ? "not a directory (a file, or a link)" : problem.system_text);
        case EntryFailure::exists:
            return "a file of that name exists, and is kept";
        case EntryFailure::write:
            return problem.system_text.empty() ? "the update file ended before its bytes did" : problem.system_text;
        case EntryFailure::stripped:
            return "no part of its name is left after '--strip-components'";
    }
    return {};
}

}  // namespace kp
