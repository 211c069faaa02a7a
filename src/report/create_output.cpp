#include "report/create_output.h"

#include "create/manifest.h"
#include "report/reasons.h"

namespace kp {

namespace {

CreateText& of(void* context) {
    return *static_cast<CreateText*>(context);
}

std::string kind_text(LeafKind kind) {
    switch (kind) {
        case LeafKind::directory:
            return "a directory, not a file";
        case LeafKind::link:
            return "a symbolic link, which an update file cannot hold";
        case LeafKind::fifo:
            return "a FIFO, which an update file cannot hold";
        case LeafKind::device:
            return "a device, which an update file cannot hold";
        case LeafKind::socket:
            return "a socket, which an update file cannot hold";
        default:
            return "not a regular file, which an update file cannot hold";
    }
}

std::string target_kind_text(LeafKind kind) {
    switch (kind) {
        case LeafKind::link:
            return "a symbolic link";
        case LeafKind::fifo:
            return "a FIFO";
        case LeafKind::device:
            return "a device";
        case LeafKind::socket:
            return "a socket";
        default:
            return "not a regular file";
    }
}

std::string reason_of(const CreateProblem& problem) {
    const std::string first = std::to_string(problem.first);
    const std::string second = std::to_string(problem.second);
    switch (problem.fault) {
        case CreateFault::no_files:
            return "no file to add; an update file holds at least one";
        case CreateFault::too_many_files:
            return first + " files to add; an update file holds at most 5000";
        case CreateFault::name_too_long:
            return "its name is " + first + " bytes; a name field holds 87 and a NUL";
        case CreateFault::name_empty_part:
            return "its name has an empty part ('//')";
        case CreateFault::name_nul:
            return "it holds a NUL, which would end the stored text";
        case CreateFault::name_refused:
            return entry_reason(problem.name, false);
        case CreateFault::duplicate_name:
            return "entry " + first + " writes the same file; an update file holds each file once";
        case CreateFault::version_too_long:
            return "the version text is " + first + " bytes; its field holds 88";
        case CreateFault::tail_too_long:
            return first + " bytes to follow its NUL, where the field has room for " + second;
        case CreateFault::padding_too_long:
            return "padding_hex holds " + first + " bytes, where its chunk has room for " + second +
                   " after its own bytes";
        case CreateFault::gap_too_long:
            return "gap_hex holds " + first + " bytes; the gap between the directory and the data holds " + second;
        case CreateFault::path_outside:
            return "not under the directory read: a PATH is relative to it, without '..'";
        case CreateFault::path_part:
            return problem.text.empty() ? "not a directory (a file, or a link)" : problem.text;
        case CreateFault::missing:
            return problem.text.empty() ? "No such file or directory" : problem.text;
        case CreateFault::not_regular:
            return kind_text(problem.kind);
        case CreateFault::unreadable:
        case CreateFault::write_failed:
            return problem.text.empty() ? "writing the update file failed" : problem.text;
        case CreateFault::file_too_large:
            return (problem.text.empty() ? "" : problem.text + " gives it ") + first +
                   " bytes; an update file holds files of at most " + std::to_string(largest_entry_size) +
                   " bytes, whose 512-byte chunks its 32 bits can count";
        case CreateFault::too_deep:
            return "a directory " + first + " bytes and " + second + " parts deep holds something, and no name " +
                   "below it fits the " + std::to_string(longest_name) + " bytes and " +
                   std::to_string(most_name_parts) + " parts a name can have";
        case CreateFault::archive_too_large:
            return "the update file would be " + first + " bytes, past the 4 GiB its 32-bit offsets reach";
        case CreateFault::changed:
            return "changed as it was read";
        case CreateFault::overlap:
            return "with " + first + " files the data region begins at the last directory record, so the first bytes " +
                   "of this file would have to be the record of " + shell_quoted(problem.text) +
                   ", and they are not; add or remove a file, or give --filler=NAME for an empty one";
        case CreateFault::manifest_syntax:
            return "line " + std::to_string(problem.at.line) + ", column " + std::to_string(problem.at.column) + ": " +
                   problem.text;
        case CreateFault::manifest_too_large:  // a stream is not read to its end to count it
            return (problem.first != unknown_length ? first : "more than " + std::to_string(largest_manifest)) +
                   " bytes; a manifest holds at most " + std::to_string(largest_manifest) + " bytes";
        case CreateFault::manifest_unknown:
            return std::to_string(problem.at.line) + ":" + std::to_string(problem.at.column) + ": unknown key '" +
                   problem.text + "'" + (problem.subject.empty() ? "" : " (did you mean '" + problem.subject + "'?)");
        case CreateFault::manifest_duplicate:
            return std::to_string(problem.at.line) + ":" + std::to_string(problem.at.column) + ": duplicate key '" +
                   problem.text + "' (first at " + std::to_string(problem.earlier.line) + ":" +
                   std::to_string(problem.earlier.column) + ")";
        case CreateFault::manifest_value:
            return problem.subject + " should be " + problem.text;
        case CreateFault::written_otherwise:
            return "what was written loads back otherwise (" + problem.text + ")";
        case CreateFault::kept:
            return "a file of that name exists, and is kept";
        case CreateFault::target_not_regular:
            return (problem.kind == LeafKind::unreadable ? problem.text : target_kind_text(problem.kind)) +
                   "; --create writes NEW only where there is nothing or a regular file (NEW '-' writes to "
                   "standard output)";
        case CreateFault::no_entry:
            return shell_quoted(problem.text) + " holds no entry of that name";
        case CreateFault::edit_not_regular:
            return (problem.kind == LeafKind::unreadable ? problem.text : target_kind_text(problem.kind)) +
                   "; --update and --delete change a regular file only, and write over nothing else";
        case CreateFault::source_short:
            return "its chunk reaches " + first + " bytes past the end of " + shell_quoted(problem.text) +
                   ", which is cut short; nothing is changed in it";
    }
    return problem.text;
}

void begin(void* context, u64 bytes, u64 entries) {
    static_assert(unknown_length == progress_unknown_total);  // a file is measured only as it is read
    CreateText& text = of(context);
    console_flush(*text.console);
    progress_begin(text.progress, text.progress_when, bytes, entries);
}

void copied(void* context, u64 bytes) {
    progress_add_bytes(of(context).progress, bytes);
}

void added(void* context, const NewEntry& entry) {
    CreateText& text = of(context);
    if (text.verbose) {
        progress_clear(text.progress);
        console_print(*text.console, attr_grey, "%s\n", escape_for_console(*text.console, entry.name).c_str());
        console_flush(*text.console);
    }
    progress_add_file(text.progress);
}

void end(void* context) {
    progress_clear(of(context).progress);
}

}  // namespace

CreateEvents create_events(CreateText& text) {
    return {.context = &text, .begin = begin, .progress = {copied, &text}, .added = added, .end = end};
}

std::string create_reason(const CreateProblem& problem, const std::string& manifest) {
    std::string reason = reason_of(problem);
    switch (problem.fault) {
        case CreateFault::manifest_syntax:
        case CreateFault::manifest_value:
        case CreateFault::manifest_too_large:
            return shell_quoted(manifest) + ": " + reason;
        case CreateFault::manifest_duplicate:
        case CreateFault::manifest_unknown:
            return shell_quoted(manifest) + ":" + reason;  // FILE:LINE:COLUMN: as compilers say it
        case CreateFault::no_files:
        case CreateFault::too_many_files:
        case CreateFault::version_too_long:
        case CreateFault::gap_too_long:
        case CreateFault::archive_too_large:
        case CreateFault::written_otherwise:
            return reason;
        case CreateFault::name_refused:  // an empty name is shown as one
            return shell_quoted(problem.subject) + ": " + reason;
        default:
            return problem.subject.empty() ? reason : shell_quoted(problem.subject) + ": " + reason;
    }
}

std::string create_warning_text(const CreateWarning& warning) {
    const std::string name = shell_quoted(warning.name);
    const std::string size = std::to_string(warning.size);
    const std::string expected = std::to_string(warning.expected);
    switch (warning.kind) {
        case CreateWarning::Kind::size_changed:
            return "warning: " + name + " is " + size + " bytes where the manifest says " + expected +
                   "; its signatures are kept for the changed bytes";
        case CreateWarning::Kind::not_padded:
            return "warning: " + name + " is " + size + " bytes, its own size, where a padded extraction holds its " +
                   expected + "-byte chunk; taken as its own bytes";
        case CreateWarning::Kind::bytes_changed:
            return "warning: " + name + " is " + size +
                   " bytes, as the manifest says, but not the bytes its sha256 says; its signatures are kept for the "
                   "changed bytes";
        case CreateWarning::Kind::unnamed:
            return "warning: " + name + " is not named in the manifest; not added";
        case CreateWarning::Kind::unwalked:
            return "warning: " + (warning.name == "." ? std::string(".") : name) + ": " +
                   (warning.text.empty() ? std::string("too deep for a name below it to fit a record") : warning.text) +
                   "; what lies below it is not compared with the manifest";
        case CreateWarning::Kind::is_output:
            break;
    }
    return "warning: " + name + " is the file being written; not added";
}

std::string edit_note_text(const EditNote& note) {
    const std::string name = shell_quoted(note.name);
    const std::string index = std::to_string(note.index);
    switch (note.kind) {
        case EditNote::Kind::replaced:
            return "replaced " + name + " (" + std::to_string(note.before) + " bytes, now " +
                   std::to_string(note.size) + ")";
        case EditNote::Kind::appended:
            return "added " + name + " as index " + index;
        case EditNote::Kind::deleted:
            return "deleted " + name + " (index " + index + ")";
        case EditNote::Kind::filler:
            return "added " + name + " as index " + index + ", an empty filler";
        case EditNote::Kind::signatures_kept:
            break;
    }
    return "warning: " + name + " changed (" + std::to_string(note.size) + " bytes, were " +
           std::to_string(note.before) + "); its signatures are kept for the changed bytes (--signatures=zero " +
           "clears them)";
}

void create_say(CreateText& text, const std::string& line) {
    progress_clear(text.progress);
    console_to_stderr(*text.console, "kpupdate: " + escape_for_stderr(*text.console, line) + "\n");
}

}  // namespace kp
