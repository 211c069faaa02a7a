// Writing the update file from what was measured, and loading it back before it is named.
#include "ops/create.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "archive/update_archive.h"
#include "console/console_platform.h"

namespace kp {

namespace {

// Files up to this size are read into the output's buffer in one read, with one byte
// more to find a file that grew; larger ones are copied inside the kernel. A quarter of a
// MiB: every page of it is faulted in once a run, and writes larger than this were no
// faster on disk or in memory.
constexpr std::size_t output_buffer_size = std::size_t{1} << 18;

// The new file's bytes, gathered into large writes. After the first write that fails
// nothing more is written or gathered, and what the system said of it is kept.
struct Output {
    FileHandle out = no_file;
    std::unique_ptr<unsigned char[]> bytes = std::make_unique_for_overwrite<unsigned char[]>(output_buffer_size);
    std::size_t used = 0;
    bool failed = false;
    std::string error;

    bool flush() {
        if (used != 0 && !failed && !write_all(out, bytes.get(), used)) fail(last_error_text());
        used = 0;
        return !failed;
    }
    void fail(std::string text) {
        failed = true;
        error = std::move(text);
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
        while (size > 0 && !failed) {
            const auto piece = static_cast<std::size_t>(std::min<u64>(size, output_buffer_size));
            std::memset(room(piece), 0, piece);
            used += piece;
            size -= piece;
        }
    }
};
// The first `size` bytes of the chunk of `entry` that come after the file's own: its
// padding as given, then zeros.
void append_padding(const NewEntry& entry, u64 from, u64 size, Output& output) {
    const u64 given = entry.padding.size() > from ? std::min<u64>(entry.padding.size() - from, size) : 0;
    output.add(entry.padding.data() + from, static_cast<std::size_t>(given));
    output.add_zeros(size - given);
}

// Whether the chunk's first bytes, its file's `head` (as many as the file has of them)
// and then its padding, are the directory record they share.
bool agrees_with_record(const NewEntry& entry, const unsigned char* head, std::size_t own, const RecordBytes& record) {
    unsigned char chunk[record_size] = {};
    std::memcpy(chunk, head, own);
    const std::size_t given = std::min(entry.padding.size(), record_size - own);
    std::memcpy(chunk + own, entry.padding.data(), given);
    return std::memcmp(chunk, record.data(), record_size) == 0;
}

// Appends the entry's chunk: the bytes taken from its file, opened once from the walk and
// read once, then its padding. The file is looked at once, after the read: it must still
// be the file measured, as it was then. Where `first` is given the data region begins at that
// directory record, so the chunk's first bytes are the record's: the file's own bytes and
// padding there must agree with it. False, with why, where they do not, or the file
// changed since it was measured, or a read or a write failed.
bool copy_entry(const NewEntry& entry, DirectoryWalk& walk, LastDirectory& last, const RecordBytes* first,
                Output& output, const CreateEvents& events, CreateProblem& problem) {
    const CopyProgress& progress = events.progress;
    std::filesystem::path leaf;
    const FileHandle directory = place_of(walk, last, entry, leaf, problem);
    if (directory == no_file) return false;
    SourceFile file;
    file.handle = open_measured(directory, leaf);
    file.length = entry.taken;
    problem.fault = CreateFault::changed;
    if (file.handle == no_file) return false;
    const u64 chunk = padded_size(entry.size);  // in 64 bits: a chunk here never wraps
    u64 from = 0;
    u64 written = 0;  // of the chunk
    bool done = true;
    if (first != nullptr) {
        const auto own = static_cast<std::size_t>(std::min<u64>(entry.taken, record_size));
        unsigned char head[record_size];
        done = read_up_to(file, 0, head, own) == own;
        if (done && (entry.taken >= record_size ? std::memcmp(head, first->data(), record_size) != 0
                                                : !agrees_with_record(entry, head, own, *first))) {
            problem.fault = CreateFault::overlap;
            done = false;
        }
        if (done) {
            output.add(first->data(), record_size);
            from = own;
            written = record_size;
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
        done = output.flush() && copy_file_bytes(file, from, rest, output.out, progress);
        if (!done && !output.failed && !last_error_text().empty()) output.fail(last_error_text());
        if (done && read_up_to(file, entry.taken, &after, 1) != 0) done = false;  // it grew
    }
    written = std::max(written, entry.taken);
    // Cut and written back to the same length while it was read, a file still shows it
    // in the times of its last change; and a file put in its place, in its id.
    if (done && events.read != nullptr) events.read(events.context, entry);
    if (done && !is_as_measured(file.handle, entry.id, entry.stamp)) done = false;
    close_source(file);
    if (done) append_padding(entry, written - entry.taken, chunk - written, output);
    if (output.failed) {
        problem.fault = CreateFault::write_failed;
        problem.text = output.error;
    }
    return done && !output.failed;
}
}  // namespace

bool write_new_archive(const NewArchive& archive, DirectoryWalk& walk, FileHandle out, const CreateEvents& events,
                       CreateProblem& problem) {
    const NewLayout layout = layout_of(archive);
    const std::size_t count = archive.entries.size();
    u64 total = 0;
    for (const NewEntry& entry : archive.entries) total += entry.taken;
    if (events.begin != nullptr) events.begin(events.context, total, count);

    Output output;
    output.out = out;
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
        problem = CreateProblem{};
        const RecordBytes* first = layout.has_overlap && i == layout.overlap ? &last_record : nullptr;
        if (entry.size != 0) written = copy_entry(entry, walk, last, first, output, events, problem);
        if (!written && problem.subject.empty()) problem.subject = entry.name;
        if (!written && problem.fault == CreateFault::overlap) {
            problem.first = count;
            problem.text = archive.entries.back().name;
        }
        if (written && events.added != nullptr) events.added(events.context, entry);
    }
    if (written && !output.flush()) {
        written = false;
        problem = create_problem(CreateFault::write_failed, {}, output.error);
    }
    if (events.end != nullptr) events.end(events.context);
    return written;
}

bool check_written_archive(const NewArchive& archive, SourceFile& written, CreateProblem& problem) {
    const NewLayout layout = layout_of(archive);
    UpdateArchive loaded;
    written.cursor = 0;
    LoadProblem not_loaded;
    const i32 count = load_archive(loaded, written, not_loaded);
    std::string differs;
    if (count < 0 || static_cast<std::size_t>(count) != archive.entries.size()) {
        differs = "it does not load as an update file of " + std::to_string(archive.entries.size()) + " files";
    } else if (encode_record(loaded.header.record) != encode_record(header_of(archive, layout))) {
        differs = "its header";
    }
    u64 offset = layout.data_start;
    for (std::size_t i = 0; differs.empty() && i < archive.entries.size(); ++i) {
        const EntryRecord& entry = loaded.entries[i];
        if (encode_record(entry.record) != encode_record(record_of(archive.entries[i])) ||
            entry.data_offset != offset) {
            differs = "the record of " + archive.entries[i].name;
        } else if (entry.chunk_size < entry.record.size || !chunk_bytes(entry).lies_within(written.length)) {
            differs = "where the bytes of " + archive.entries[i].name + " lie";  // as --test would find them
        }
        offset += entry.chunk_size;
    }
    if (differs.empty() && (written.length != layout.file_length || archive_end(loaded) != layout.end)) {
        differs = "its length";
    }
    if (differs.empty()) return true;
    problem = create_problem(CreateFault::written_otherwise, {}, differs);
    return false;
}

}  // namespace kp
