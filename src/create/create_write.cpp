// Writing the update file from what was measured, and loading it back before it is named.
#include "create/create.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "archive/update_archive.h"
#include "console/console_platform.h"
#include "fs/file_path.h"

namespace kp {

namespace {

constexpr u64 largest_archive = u64{1} << 32;  // the format's offsets are 32 bits

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
// The digest of an entry's own bytes as they are copied, where the manifest gives one to
// compare them with: the bytes taken from a padded extraction's file go on past them.
struct OwnDigest {
    Sha256 sha;
    u64 left = 0;
    bool wanted = false;

    explicit OwnDigest(const NewEntry& entry)
        : left(entry.size),
          wanted(entry.sha256 && entry.declared_size.value_or(entry.size) == entry.size && sha256_begin(sha)) {}
    OwnDigest(const OwnDigest&) = delete;
    OwnDigest& operator=(const OwnDigest&) = delete;
    ~OwnDigest() { release(); }
    void add(const unsigned char* bytes, u64 size) {
        const u64 own = std::min(size, left);
        if (wanted) sha256_add(sha, bytes, static_cast<std::size_t>(own));
        left -= own;
    }
    void release() {
        Sha256Digest unused{};
        if (sha.context != nullptr) sha256_end(sha, unused);
    }
    // Whether what was added is all of the bytes and not what the manifest's digest says.
    bool differs(const NewEntry& entry) {
        Sha256Digest digest{};
        const bool ended = wanted && sha256_end(sha, digest);
        return ended && left == 0 && digest != *entry.sha256;
    }
};

// Reads `size` bytes from `offset` into the output's buffer a piece at a time, each told
// to `digest`: the bytes it compares pass through this process, never around it.
bool copy_digested(SourceFile& file, u64 offset, u64 size, Output& output, const CopyProgress& progress,
                   OwnDigest& digest) {
    while (size > 0) {
        const auto piece = static_cast<std::size_t>(std::min<u64>(size, output_buffer_size));
        unsigned char* bytes = output.room(piece);
        if (output.failed || read_up_to(file, offset, bytes, piece) != piece) return false;
        digest.add(bytes, piece);
        output.used += piece;
        tell_copied(progress, piece);
        offset += piece;
        size -= piece;
    }
    return true;
}

// The first `size` bytes of the chunk of `entry` that come after the file's own: its
// padding as given, then zeros.
void append_padding(const NewEntry& entry, u64 from, u64 size, Output& output) {
    const u64 given = entry.padding.size() > from ? std::min<u64>(entry.padding.size() - from, size) : 0;
    output.add(entry.padding.data() + from, static_cast<std::size_t>(given));
    output.add_zeros(size - given);
}

// A file read whole before it is looked at: in the output's buffer past what it holds.
struct ReadFirst {
    Output& output;
    ChangeWatch& watch;
    const CreateEvents& events;
    const NewEntry& entry;
    std::size_t got = 0;
    bool whole = false;  // what was read is the whole file, unchanged from before it was opened
};

// Reads the open `file` into the output's buffer in one read, then looks at it once:
// where it shows no change since the watch began, what was read is what it held
// throughout, and `whole` is set where that is all of it. Else what is there, to be read
// once more between two looks.
LeafStatus read_first(SourceFile& file, ReadFirst& first) {
    constexpr std::size_t least_room = std::size_t{1} << 16;
    if (output_buffer_size - first.output.used < least_room) first.output.flush();
    const std::size_t room = output_buffer_size - first.output.used;
    first.got = read_once(file, 0, first.output.bytes.get() + first.output.used, room);
    if (first.events.read != nullptr) first.events.read(first.events.context, first.entry);
    LeafStatus status = measure_open(file.handle);
    first.whole = !first.output.failed && status.kind == LeafKind::regular && status.size == first.got &&
                  unchanged_since(first.watch, file.handle, status);
    return status;
}

// What the file opened for an entry is; it is opened into `opened` (its handle no_file where nothing
// opened), which the caller closes. An entry its directory did not list as a regular file
// is looked at by name first, so that nothing else is opened: a device may act on being
// opened. With `first`, what opened is read before it is looked at.
LeafStatus open_entry(FileHandle directory, const char* leaf, bool listed_regular, SourceFile& opened,
                      ReadFirst* first) {
    opened.handle = no_file;
    if (!listed_regular) {
        LeafStatus named = measure_leaf(directory, file_path(leaf));
        if (named.kind != LeafKind::regular) return named;
    }
    opened.handle = open_measured(directory, leaf);
    if (opened.handle == no_file) {
        // Why it would not open, where a regular file is there still: else what is there.
        const std::string why = last_error_text();
        LeafStatus named = measure_leaf(directory, file_path(leaf));
        if (named.kind == LeafKind::regular) {
            named.kind = LeafKind::unreadable;
            named.text = why;
        }
        return named;
    }
    return first != nullptr ? read_first(opened, *first) : measure_open(opened.handle);
}

CreateFault fault_of(LeafKind kind) {
    return kind == LeafKind::missing      ? CreateFault::missing
           : kind == LeafKind::unreadable ? CreateFault::unreadable
                                          : CreateFault::not_regular;
}

// Appends the entry's chunk: the bytes taken from its open `file`, read once, then its
// padding; the file is looked at once, after the read: it must still be the file
// `measured`, as it was then. Where `head` is given, the chunk's first record_size bytes are
// kept in it: where the data region begins at the last directory record they must be that
// record, which is known only once the last entry is measured. False, with why, where the file changed since it was
// measured, or a read or a write failed.
bool copy_entry(const NewEntry& entry, SourceFile& file, const LeafStatus& measured, RecordBytes* head, Output& output,
                const CreateEvents& events, OwnDigest& digest, CreateProblem& problem) {
    const CopyProgress& progress = events.progress;
    file.length = entry.taken;
    problem.fault = CreateFault::changed;
    const u64 chunk = padded_size(entry.size);  // in 64 bits: a chunk here never wraps
    u64 from = 0;
    u64 written = 0;  // of the chunk
    bool done = true;
    if (head != nullptr) {
        const auto own = static_cast<std::size_t>(std::min<u64>(entry.taken, record_size));
        done = read_up_to(file, 0, head->data(), own) == own;
        const std::size_t given = std::min(entry.padding.size(), record_size - own);
        std::memcpy(head->data() + own, entry.padding.data(), given);
        std::memset(head->data() + own + given, 0, record_size - own - given);
        if (done) {
            digest.add(head->data(), own);
            output.add(head->data(), record_size);
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
        if (done) digest.add(bytes, rest);
        output.used += done ? static_cast<std::size_t>(rest) : 0;
        if (done) tell_copied(progress, rest);
    } else if (done) {
        unsigned char after = 0;
        done = digest.wanted ? copy_digested(file, from, rest, output, progress, digest)
                             : output.flush() && copy_file_bytes(file, from, rest, output.out, progress);
        if (!done && !output.failed && !last_error_text().empty()) output.fail(last_error_text());
        if (done && read_up_to(file, entry.taken, &after, 1) != 0) done = false;  // it grew
    }
    written = std::max(written, entry.taken);
    // Cut and written back to the same length while it was read, a file still shows it
    // in the times of its last change; and a file put in its place, in its id.
    if (done && events.read != nullptr) events.read(events.context, entry);
    if (done && !is_as_measured(file.handle, measured.id, measured.stamp)) done = false;
    if (done) append_padding(entry, written - entry.taken, chunk - written, output);
    if (output.failed) {
        problem.fault = CreateFault::write_failed;
        problem.text = output.error;
    }
    return done && !output.failed;
}

// The header and the directory, which go before the data: the last record too, unless
// the data region begins at it and holds it already.
void append_directory(const NewArchive& archive, const NewLayout& layout, Output& output) {
    const std::size_t count = archive.entries.size();
    output.add(encode_record(header_of(archive, layout)).data(), record_size);
    for (std::size_t i = 0; i + 1 < count; ++i)
        output.add(encode_record(record_of(archive.entries[i])).data(), record_size);
    if (!layout.has_overlap || layout.overlap == count)
        output.add(encode_record(record_of(archive.entries.back())).data(), record_size);
    if (!layout.has_overlap) {
        output.add(archive.gap.data(), archive.gap.size());
        output.add_zeros(layout.data_start - layout.directory_end - archive.gap.size());
    }
}

}  // namespace

Pass write_new_archive(NewArchive& archive, DirectoryWalk& walk, const std::optional<FileId>& skip, FileHandle out,
                       const CreateEvents& events, std::vector<CreateProblem>& problems,
                       std::vector<CreateWarning>& warnings, std::size_t& output_at) {
    const std::size_t count = archive.entries.size();
    if (events.begin != nullptr) events.begin(events.context, unknown_length, count);
    const NewLayout planned = layout_of_count(count);
    ChangeWatch watch = start_change_watch();  // before any file is opened
    RecordBytes head{};  // the first chunk's first bytes, where the data region begins at the last record
    bool head_taken = false;
    Output output;
    output.out = out;
    const std::size_t problems_before = problems.size();
    bool writing = set_write_position(out, planned.data_start);  // while nothing failed
    if (!writing) problems.push_back(create_problem(CreateFault::write_failed, {}, last_error_text()));
    u64 end = planned.data_start;
    LastDirectory last;
    Pass pass = Pass::written;
    for (std::size_t i = 0; i < count && pass == Pass::written; ++i) {
        NewEntry& entry = archive.entries[i];
        // The next entry is asked for now: a file's calls leave little of this one's memory
        // in the cache by the time the next begins.
        if (i + 1 < count) __builtin_prefetch(&archive.entries[i + 1]);
        writing = writing && problems.size() == problems_before;
        if (entry.filler) {
            if (writing && events.added != nullptr) events.added(events.context, entry);
            continue;
        }
        CreateProblem problem;
        const char* leaf = nullptr;
        const FileHandle directory = place_of(walk, last, entry, leaf, problem);
        if (directory == no_file) {
            problems.push_back(problem);
            continue;
        }
        SourceFile file;
        // Read before it is looked at where one look may do, unless its first bytes may be
        // the last record's: elsewhere it would only be read twice.
        const bool head_due = planned.has_overlap && !head_taken;
        ReadFirst first{output, watch, events, entry};
        const bool reads_first = writing && !head_due && may_read_first(watch, directory);
        const LeafStatus status =
            open_entry(directory, leaf, entry.listed_regular, file, reads_first ? &first : nullptr);
        if (status.kind != LeafKind::regular) {
            problem = create_problem(fault_of(status.kind), entry.name, status.text);
            problem.kind = status.kind;
            problems.push_back(problem);
        } else if (skip && status.id == *skip) {
            output_at = i;
            pass = Pass::met_output;
        } else if (take_measure(archive, entry, status, problems, warnings)) {
            end += padded_size(entry.size);
            writing = writing && end < largest_archive;
            RecordBytes* shared = head_due && entry.size != 0 ? &head : nullptr;
            head_taken = head_taken || shared != nullptr;
            OwnDigest digest(entry);
            if (writing && first.whole) {
                digest.add(output.bytes.get() + output.used, first.got);
                output.used += first.got;
                tell_copied(events.progress, first.got);
                append_padding(entry, 0, padded_size(entry.size) - entry.taken, output);
            } else if (writing && entry.size != 0 &&
                       !copy_entry(entry, file, status, shared, output, events, digest, problem)) {
                if (problem.subject.empty()) problem.subject = entry.name;
                problems.push_back(problem);
                writing = false;
            }
            if (writing && digest.differs(entry))
                warnings.push_back({CreateWarning::Kind::bytes_changed, entry.name, entry.size, entry.size, {}});
            if (writing && events.added != nullptr) events.added(events.context, entry);
        }
        close_source(file);
    }
    if (pass == Pass::written && end >= largest_archive) {
        problems.push_back(create_problem(CreateFault::archive_too_large, {}, {}, end));
    }
    const NewLayout layout = layout_of(archive);  // every size known, where nothing failed
    if (pass == Pass::written && problems.size() == problems_before && head_taken &&
        head != encode_record(record_of(archive.entries.back()))) {
        problems.push_back(create_problem(CreateFault::overlap, archive.entries[layout.overlap].name,
                                          archive.entries.back().name, count));
    }
    if (pass == Pass::written && problems.size() == problems_before) {
        // Where the data ends, the last write, and then what goes before it.
        const bool placed = output.flush() && set_write_position(out, 0);
        if (!placed && !output.failed) output.fail(last_error_text());
        if (placed) append_directory(archive, layout, output);
        if (!output.flush()) problems.push_back(create_problem(CreateFault::write_failed, {}, output.error));
    }
    if (events.end != nullptr) events.end(events.context);
    if (pass == Pass::written && problems.size() != problems_before) pass = Pass::failed;
    return pass;
}

bool check_written_archive(const NewArchive& archive, SourceFile& written, CreateProblem& problem) {
    const NewLayout layout = layout_of(archive);
    UpdateArchive loaded;
    written.cursor = 0;
    LoadProblem not_loaded;
    const i32 count = load_archive(loaded, written, not_loaded, Grouping::left);  // its records are all compared
    std::string differs;
    if (count < 0 || static_cast<std::size_t>(count) != archive.entries.size()) {
        differs = "it does not load as an update file of " + std::to_string(archive.entries.size()) + " files";
    } else if (loaded.header.record != header_of(archive, layout)) {
        differs = "its header";
    }
    u64 offset = layout.data_start;
    for (std::size_t i = 0; differs.empty() && i < archive.entries.size(); ++i) {
        const EntryRecord& entry = loaded.entries[i];
        if (entry.record != record_of(archive.entries[i]) || entry.data_offset != offset) {
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
