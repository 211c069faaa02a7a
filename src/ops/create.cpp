#include "ops/create.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "archive/update_archive.h"
#include "console/console_platform.h"
#include "fs/file_path.h"
#include "ops/names.h"

namespace kp {

namespace {

constexpr u64 largest_archive = u64{1} << 32;  // the format's offsets are 32 bits
constexpr u64 largest_file = u64{1} << 32;     // and so are its sizes

// Files up to this size are read into the output's buffer in one read, with one byte
// more to find a file that grew; larger ones are copied inside the kernel.
constexpr std::size_t output_buffer_size = std::size_t{1} << 20;

// The new file's bytes, gathered into large writes.
struct Output {
    FileHandle out = no_file;
    std::unique_ptr<unsigned char[]> bytes = std::make_unique_for_overwrite<unsigned char[]>(output_buffer_size);
    std::size_t used = 0;
    bool failed = false;

    bool flush() {
        if (used != 0 && !failed) failed = !write_all(out, bytes.get(), used);
        used = 0;
        return !failed;
    }
    // Room for `size` bytes at the end of the buffer, flushed first where needed.
    unsigned char* room(std::size_t size) {
        if (output_buffer_size - used < size) flush();
        return bytes.get() + used;
    }
    void add(const void* data, std::size_t size) {
        std::memcpy(room(size), data, size);
        used += size;
    }
    void add_zeros(u64 size) {
        while (size > 0) {
            const auto piece = static_cast<std::size_t>(std::min<u64>(size, output_buffer_size));
            std::memset(room(piece), 0, piece);
            used += piece;
            size -= piece;
        }
    }
};

// A text field: the text, a NUL where there is room, the tail after it, zeros past that.
std::array<char, text_field_size> text_field(const std::string& text, const std::string& tail) {
    std::array<char, text_field_size> field{};
    std::memcpy(field.data(), text.data(), std::min(text.size(), field.size()));
    if (text.size() + 1 < field.size()) {
        std::memcpy(field.data() + text.size() + 1, tail.data(), std::min(tail.size(), field.size() - text.size() - 1));
    }
    return field;
}

DirectoryRecord record_of(const NewEntry& entry) {
    return {text_field(entry.name, entry.name_tail), entry.index, entry.size, entry.signature};
}

DirectoryRecord header_of(const NewArchive& archive, const NewLayout& layout) {
    return {text_field(archive.version, archive.version_tail), static_cast<u32>(archive.entries.size()),
            static_cast<u32>(layout.end / chunk_alignment), archive.header_signature};
}

std::string joined(const std::vector<std::filesystem::path>& parts, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count && i < parts.size(); ++i) {
        if (i != 0) text += '/';
        text += path_text(parts[i]);
    }
    return text;
}

// The directory of the entry before, which the next one shares where entries come in
// the order of their names: looked up in the walk only when it changes.
struct LastDirectory {
    std::string text;  // the name up to its last separator
    FileHandle handle = no_file;
};

// Where an entry's file lies: the directory, from the walk, and `leaf` in it; no_file
// with why in `problem`.
FileHandle place_of(DirectoryWalk& walk, LastDirectory& last, const NewEntry& entry, std::filesystem::path& leaf,
                    CreateProblem& problem) {
    const std::string_view name = entry.name;
    std::size_t cut = name.size();
    while (cut > 0 && !is_name_separator(name[cut - 1], native_name_rules())) --cut;
    leaf = file_path(name.substr(cut));
    if (last.handle != no_file && name.substr(0, cut) == last.text) return last.handle;
    std::vector<std::filesystem::path> parts = name_parts(name);
    parts.pop_back();
    std::size_t reached = 0;
    DirectoryError error;
    const FileHandle directory = walk_to(walk, parts, reached, error);
    if (directory == no_file) {
        problem = create_problem(CreateFault::path_part, joined(parts, reached + 1), error.text);
        if (problem.subject.empty()) problem.subject = entry.name;
    }
    last = {std::string(name.substr(0, cut)), directory};
    return directory;
}

// Appends the entry's chunk: the bytes taken from its file, opened once from the walk and
// read once, then zeros. Where `first` is given the data region begins at that directory
// record, so the chunk's first bytes are the record's: the file's own bytes there must
// agree with it. False, with why, where they do not, or the file changed as it was read,
// or a read or a write failed.
bool copy_entry(const NewEntry& entry, DirectoryWalk& walk, LastDirectory& last, const RecordBytes* first,
                Output& output, const CopyProgress& progress, CreateProblem& problem) {
    std::filesystem::path leaf;
    const FileHandle directory = place_of(walk, last, entry, leaf, problem);
    if (directory == no_file) return false;
    SourceFile file;
    if (open_leaf(directory, leaf, file.handle, file.length) != Leaf::regular || file.length != entry.taken) {
        close_source(file);
        problem.fault = CreateFault::changed;
        return false;
    }
    u64 from = 0;
    u64 chunk_left = chunk_size_of(entry.size);
    bool done = true;
    problem.fault = CreateFault::changed;
    if (first != nullptr) {
        const std::size_t own = std::min<std::size_t>(entry.size, record_size);
        unsigned char bytes[record_size];
        done = read_up_to(file, 0, bytes, own) == own;
        if (done && std::memcmp(bytes, first->data(), own) != 0) {
            problem.fault = CreateFault::overlap;
            done = false;
        }
        if (done) {
            output.add(first->data(), record_size);
            from = std::min<u64>(entry.taken, record_size);
            chunk_left -= record_size;
        }
    }
    const u64 rest = entry.taken - from;
    if (done && rest < output_buffer_size) {
        // One read for the whole file, and one byte more, which a file that grew has; a
        // read that stops short before the file's end is read on.
        const auto wanted = static_cast<std::size_t>(rest);
        unsigned char* bytes = output.room(wanted + 1);
        std::size_t got = read_once(file, from, bytes, wanted + 1);
        if (got < wanted) got += read_up_to(file, from + got, bytes + got, wanted + 1 - got);
        done = got == wanted;
        output.used += done ? static_cast<std::size_t>(rest) : 0;
        if (done) tell_copied(progress, rest);
    } else if (done) {
        unsigned char after = 0;
        done = output.flush() && copy_range(file, from, rest, output.out, progress);
        if (!done && (output.failed || !last_error_text().empty())) {
            problem.fault = CreateFault::write_failed;
            problem.text = last_error_text();
        }
        if (done && read_up_to(file, entry.taken, &after, 1) != 0) done = false;  // it grew
    }
    close_source(file);
    if (done) output.add_zeros(chunk_left - rest);
    return done;
}

}  // namespace

CreateProblem create_problem(CreateFault fault, std::string subject, std::string text, u64 first, u64 second) {
    CreateProblem problem;
    problem.fault = fault;
    problem.subject = std::move(subject);
    problem.text = std::move(text);
    problem.first = first;
    problem.second = second;
    return problem;
}

NewLayout layout_of(const NewArchive& archive) {
    NewLayout layout;
    const u64 count = archive.entries.size();
    layout.data_start = data_start_of(static_cast<u32>(count));
    layout.directory_end = record_size * (count + 1);
    layout.end = layout.data_start;
    for (const NewEntry& entry : archive.entries) layout.end += chunk_size_of(entry.size);
    layout.file_length = std::max(layout.end, layout.directory_end);
    // With a multiple of four entries the data region begins at the last directory record:
    // the first bytes of the first entry with any are that record's.
    layout.has_overlap = count != 0 && count % 4 == 0;
    layout.overlap = count;
    for (std::size_t i = 0; i < count && layout.has_overlap; ++i) {
        if (archive.entries[i].size != 0) {
            layout.overlap = i;
            break;
        }
    }
    return layout;
}

void check_new_archive(const NewArchive& archive, std::vector<CreateProblem>& problems) {
    const std::size_t count = archive.entries.size();
    if (count == 0) problems.push_back(create_problem(CreateFault::no_files));
    if (count > max_file_count) problems.push_back(create_problem(CreateFault::too_many_files, {}, {}, count));
    const auto check_tail = [&problems](const std::string& subject, const std::string& text, const std::string& tail) {
        const std::size_t room = text.size() + 1 < text_field_size ? text_field_size - text.size() - 1 : 0;
        if (tail.size() > room) {
            problems.push_back(create_problem(CreateFault::tail_too_long, subject, {}, tail.size(), room));
        }
    };
    if (archive.version.size() > text_field_size) {
        problems.push_back(create_problem(CreateFault::version_too_long, {}, {}, archive.version.size()));
    } else if (archive.version.find('\0') != std::string::npos) {
        problems.push_back(create_problem(CreateFault::name_nul, "the version text"));
    } else {
        check_tail("the version text", archive.version, archive.version_tail);
    }
    const NewLayout layout = layout_of(archive);
    const u64 gap = layout.data_start > layout.directory_end ? layout.data_start - layout.directory_end : 0;
    if (archive.gap.size() > gap) {
        problems.push_back(create_problem(CreateFault::gap_too_long, {}, {}, archive.gap.size(), gap));
    }

    std::unordered_map<std::string, std::size_t> files;  // by the file each name writes
    files.reserve(count);
    for (std::size_t position = 0; position < count; ++position) {
        const NewEntry& entry = archive.entries[position];
        CreateProblem problem = create_problem(CreateFault::no_files, entry.name);
        // A NUL ends the stored text, and the name must leave room for one.
        if (entry.name.size() >= text_field_size) {
            problem.fault = CreateFault::name_too_long;
            problem.first = entry.name.size();
        } else if (entry.name.find('\0') != std::string::npos) {
            problem.fault = CreateFault::name_nul;
        } else if (entry.name.find("//") != std::string::npos) {
            problem.fault = CreateFault::name_empty_part;
        } else if ((problem.name.name_fault = name_fault(entry.name, native_name_rules(), &problem.name.part)) !=
                   NameFault::none) {
            problem.fault = CreateFault::name_refused;
            problem.name.failure = EntryFailure::unsafe_name;
        } else {
            check_tail(entry.name, entry.name, entry.name_tail);
            const auto [found, added] = files.try_emplace(name_key(entry.name, native_name_rules()), position);
            if (added) continue;
            problem.fault = CreateFault::duplicate_name;
            problem.first = found->second;
        }
        problems.push_back(problem);
    }
}

void measure_new_entries(NewArchive& archive, DirectoryWalk& walk, const std::optional<FileId>& skip,
                         std::vector<CreateProblem>& problems, std::vector<CreateProblem>& warnings) {
    std::vector<NewEntry> kept;
    kept.reserve(archive.entries.size());
    LastDirectory last;
    for (std::size_t position = 0; position < archive.entries.size(); ++position) {
        NewEntry& entry = archive.entries[position];
        CreateProblem problem = create_problem(CreateFault::no_files, entry.name);
        std::filesystem::path name;
        const FileHandle directory = place_of(walk, last, entry, name, problem);
        if (directory == no_file) {
            problems.push_back(problem);
            continue;
        }
        const LeafStatus leaf = measure_leaf(directory, name);
        if (leaf.kind != LeafKind::regular) {
            problem.fault = leaf.kind == LeafKind::missing      ? CreateFault::missing
                            : leaf.kind == LeafKind::unreadable ? CreateFault::unreadable
                                                                : CreateFault::not_regular;
            problem.kind = leaf.kind;
            problem.text = leaf.text;
            problems.push_back(problem);
            continue;
        }
        if (skip && leaf.id == *skip) {
            warnings.push_back(create_problem(CreateFault::is_output, entry.name));
            continue;
        }
        if (leaf.size >= largest_file) {
            problems.push_back(create_problem(CreateFault::file_too_large, entry.name, {}, leaf.size));
            continue;
        }
        const auto size = static_cast<u32>(leaf.size);
        entry.taken = size;
        entry.size = size;
        if (entry.declared_size && size != *entry.declared_size) {
            // A padded extraction holds the whole chunk, padding and all, which is kept.
            if (*entry.declared_size != 0 && size == chunk_size_of(*entry.declared_size)) {
                entry.size = *entry.declared_size;
            } else {
                warnings.push_back(
                    create_problem(CreateFault::size_changed, entry.name, {}, size, *entry.declared_size));
            }
        }
        // An index number that was the entry's position (a tree's) stays its position
        // when a file before it is dropped.
        if (entry.index == position) entry.index = static_cast<u32>(kept.size());
        kept.push_back(std::move(entry));
    }
    archive.entries = std::move(kept);
    const NewLayout layout = layout_of(archive);
    if (layout.end >= largest_archive)
        problems.push_back(create_problem(CreateFault::archive_too_large, {}, {}, layout.end));
}

bool write_new_archive(const NewArchive& archive, DirectoryWalk& walk, FileHandle out, const CreateEvents& events,
                       CreateProblem& problem) {
    const NewLayout layout = layout_of(archive);
    const std::size_t count = archive.entries.size();
    u64 total = 0;
    for (const NewEntry& entry : archive.entries) total += entry.taken;
    if (events.begin != nullptr) events.begin(events.context, total, count);

    Output output{.out = out};
    output.add(encode_record(header_of(archive, layout)).data(), record_size);
    for (std::size_t i = 0; i + 1 < count; ++i)
        output.add(encode_record(record_of(archive.entries[i])).data(), record_size);
    const RecordBytes last_record = encode_record(record_of(archive.entries.back()));
    if (!layout.has_overlap || layout.overlap == count) output.add(last_record.data(), record_size);
    if (!layout.has_overlap) {
        output.add(archive.gap.data(), archive.gap.size());
        output.add_zeros(layout.data_start - layout.directory_end - archive.gap.size());
    }

    bool written = true;
    LastDirectory last;
    for (std::size_t i = 0; i < count && written; ++i) {
        const NewEntry& entry = archive.entries[i];
        problem = create_problem(CreateFault::no_files, entry.name);
        const RecordBytes* first = layout.has_overlap && i == layout.overlap ? &last_record : nullptr;
        if (entry.size != 0) written = copy_entry(entry, walk, last, first, output, events.progress, problem);
        if (!written && problem.fault == CreateFault::overlap) {
            problem.first = count;
            problem.text = archive.entries.back().name;
        }
        if (written && events.added != nullptr) events.added(events.context, entry);
    }
    if (written && !output.flush()) {
        written = false;
        problem = create_problem(CreateFault::write_failed, {}, last_error_text());
    }
    if (events.end != nullptr) events.end(events.context);
    return written;
}

bool check_written_archive(const NewArchive& archive, SourceFile& written, CreateProblem& problem) {
    const NewLayout layout = layout_of(archive);
    UpdateArchive loaded;
    written.cursor = 0;
    const i32 count = load_archive(loaded, written);
    std::string differs;
    if (count < 0 || static_cast<std::size_t>(count) != archive.entries.size()) {
        differs = "it does not load as an update file of " + std::to_string(archive.entries.size()) + " files";
    } else if (encode_record(loaded.header.record) != encode_record(header_of(archive, layout))) {
        differs = "its header";
    } else if (written.length != layout.file_length || archive_end(loaded) != layout.end) {
        differs = "its length";
    }
    u64 offset = layout.data_start;
    for (std::size_t i = 0; differs.empty() && i < archive.entries.size(); ++i) {
        const EntryRecord& entry = loaded.entries[i];
        if (encode_record(entry.record) != encode_record(record_of(archive.entries[i])) ||
            entry.data_offset != offset) {
            differs = "the record of " + archive.entries[i].name;
        }
        offset += entry.chunk_size;
    }
    if (differs.empty()) return true;
    problem = create_problem(CreateFault::written_otherwise, {}, differs);
    return false;
}

}  // namespace kp
