#include "extract/compare.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "archive/file_path.h"
#include "extract/copy.h"
#include "extract/names.h"
#include "extract/stream.h"

namespace kp {

namespace {

namespace fs = std::filesystem;

// Both sides are read a piece of this size at a time: large enough that the reads cost
// little next to the comparing, small enough that both pieces stay in the processor's
// cache, into which the kernel copies twice as fast as into 1 MiB ones (measured).
constexpr std::size_t piece = std::size_t{128} << 10;

// A window onto one side's file: entries lie one after another there, so a window read
// in one call serves the many small ones it holds, and a large one piece by piece.
struct Window {
    SourceFile* file = nullptr;
    std::unique_ptr<unsigned char[]> bytes = std::make_unique_for_overwrite<unsigned char[]>(piece);
    u64 offset = 0;
    std::size_t size = 0;

    // The `length` bytes at `at` (at most a piece), read when the window does not hold
    // them; null when the file ends before them.
    const unsigned char* view(u64 at, std::size_t length) {
        if (at < offset || at + length > offset + size) {
            if (at >= file->length || file->length - at < length) return nullptr;
            offset = at;
            size = read_up_to(*file, offset, bytes.get(),
                              static_cast<std::size_t>(std::min<u64>(piece, file->length - at)));
            if (size < length) return nullptr;
        }
        return bytes.get() + (at - offset);
    }
};

// Whether `size` bytes at `offset` in one window's file and at `other_offset` in the
// other's are the same; false also when either could not be read.
bool same_bytes(Window& a, u64 offset, Window& b, u64 other_offset, u64 size) {
    for (u64 done = 0; done < size;) {
        const auto length = static_cast<std::size_t>(std::min<u64>(size - done, piece));
        const unsigned char* first = a.view(offset + done, length);
        const unsigned char* second = b.view(other_offset + done, length);
        if (first == nullptr || second == nullptr || std::memcmp(first, second, length) != 0) return false;
        done += length;
    }
    return true;
}

// The key of an entry's file, kept in `storage` where it is not the name itself.
std::string_view key_of(const EntryRecord& entry, std::deque<std::string>& storage) {
    std::string key;
    const std::string_view view = name_key(record_text(entry.record.name), native_name_rules(), key);
    return key.empty() ? view : std::string_view(storage.emplace_back(std::move(key)));
}

DiffEntry described(const EntryRecord& entry, u32 position) {
    DiffEntry described;
    described.name = record_text(entry.record.name);
    described.position = position;
    described.index = entry.record.index;
    described.size = entry.record.size;
    return described;
}

// Whether `size` bytes at `offset` reach past the end of a file of `length` bytes.
bool ends_past(u64 offset, u64 size, u64 length) {
    return offset + size > length;  // both below 2^33: no overflow
}

bool ends_past(const EntryRecord& entry, u64 length) {
    return ends_past(entry.data_offset, entry.record.size, length);
}

// Notes damage when the entry's own bytes do not lie wholly inside `file`; true then.
bool damaged(const EntryRecord& entry, const SourceFile& file, bool open, bool old_side, DiffReport& report) {
    const u64 end = u64{entry.data_offset} + entry.record.size;
    const u64 length = open ? file.length : 0;
    if (end <= length) return false;
    report.damaged.push_back({std::string(record_text(entry.record.name)), old_side, end - length});
    return true;
}

// The new side's file: `given` where it is open already (a stream), else opened by its
// path into `own`. Null when it cannot be opened.
SourceFile* new_side(const UpdateArchive& fresh, SourceFile* given, SourceFile& own) {
    if (given != nullptr) return given;
    return open_source(own, file_path(fresh.path)) ? &own : nullptr;
}

// Reads the rest of a stream, whose length the damage checks need; nothing for a file.
void read_to_end(SourceFile* file) {
    if (file != nullptr && file->stream) skip_stream(*file, unknown_length);
}

}  // namespace

void compare_archives(const UpdateArchive& fresh, const std::vector<u32>& positions, const UpdateArchive& old,
                      const std::vector<u32>& old_positions, DiffReport& report, SourceFile* given) {
    report.new_version = record_text(fresh.header.record.name);
    report.old_version = record_text(old.header.record.name);
    report.version_differs = report.new_version != report.old_version;
    SourceFile own_new;
    SourceFile old_file;
    SourceFile* new_file = new_side(fresh, given, own_new);
    const bool new_open = new_file != nullptr;
    const bool old_open = open_source(old_file, file_path(old.path));
    SourceFile unopened;
    SourceFile& new_source = new_open ? *new_file : unopened;

    std::deque<std::string> keys;
    std::unordered_map<std::string_view, u32> old_by_key;
    old_by_key.reserve(old_positions.size());
    for (const u32 position : old_positions) old_by_key[key_of(old.entries[position], keys)] = position;
    std::vector<std::string_view> new_keys;
    new_keys.reserve(positions.size());
    for (const u32 position : positions) new_keys.push_back(key_of(fresh.entries[position], keys));

    // The bytes first, in the new side's order, as a stream delivers them: only where the
    // sizes agree and neither side is known to be damaged, and only up to the first
    // difference. A stream's damage is known once it has ended, after this.
    std::vector<char> same(positions.size(), 0);
    {
        Window new_window{&new_source};
        Window old_window{&old_file};
        for (std::size_t i = 0; i < positions.size(); ++i) {
            const EntryRecord& entry = fresh.entries[positions[i]];
            const auto found = old_by_key.find(new_keys[i]);
            if (!new_open || !old_open || found == old_by_key.end()) continue;
            const EntryRecord& before = old.entries[found->second];
            if (entry.record.size != before.record.size || ends_past(entry, new_source.length) ||
                ends_past(before, old_file.length)) {
                continue;
            }
            same[i] = same_bytes(new_window, entry.data_offset, old_window, before.data_offset, entry.record.size);
        }
    }
    read_to_end(new_file);

    for (std::size_t i = 0; i < positions.size(); ++i) {
        const u32 position = positions[i];
        const EntryRecord& entry = fresh.entries[position];
        const bool new_damaged = damaged(entry, new_source, new_open, false, report);
        const auto found = old_by_key.find(new_keys[i]);
        if (found == old_by_key.end()) {
            report.added.push_back(described(entry, position));
            continue;
        }
        const u32 old_position = found->second;
        old_by_key.erase(found);  // what is left over has been removed
        const EntryRecord& before = old.entries[old_position];
        const bool old_damaged = damaged(before, old_file, old_open, true, report);
        DiffEntry change = described(entry, position);
        change.old_position = old_position;
        change.old_index = before.record.index;
        change.old_size = before.record.size;
        change.index_differs = change.index != change.old_index;
        change.size_differs = change.size != change.old_size;
        for (std::size_t s = 0; s < entry.record.signature.size(); ++s) {
            if (entry.record.signature[s] != before.record.signature[s]) change.signatures |= 1u << s;
        }
        change.bytes_differ = change.size_differs || (!new_damaged && !old_damaged && same[i] == 0);
        if (change.index_differs || change.size_differs || change.signatures != 0 || change.bytes_differ) {
            report.changed.push_back(change);
        } else if (!new_damaged && !old_damaged) {
            ++report.same;
        }
    }
    for (const u32 position : old_positions) {
        if (old_by_key.contains(key_of(old.entries[position], keys))) {
            damaged(old.entries[position], old_file, old_open, true, report);
            report.removed.push_back(described(old.entries[position], position));
        }
    }
    if (new_open && given == nullptr) close_source(own_new);
    if (old_open) close_source(old_file);
}

namespace {

// What the directory holds for one entry, found before the new side's damage is known.
struct Found {
    enum class Kind : unsigned char { added, not_regular, size_differs, compared } kind = Kind::added;
    u64 compared = 0;  // the bytes of the entry that a file of its size holds
    u64 file_size = 0;
    bool same = false;
};

// The file that stands for `entry` under `root`, compared through `file_window` with the
// entry's bytes as `new_window` reads them. `checked` is a directory whose every part
// was found to be a directory, and is moved to the one this entry lies in.
Found look_up(const EntryRecord& entry, const fs::path& root, fs::path& checked, Window& new_window,
              Window& file_window) {
    Found found;
    const std::string_view name = record_text(entry.record.name);
    // A name extraction refuses is never written, so no directory holds it.
    if (!is_safe_entry_name(name)) return found;
    // Each part on the way must be a directory itself, as extraction would have made it;
    // the directory the last entry was found in needs no second look.
    fs::path path = root;
    for (const fs::path& part : file_path(name)) {
        if (!part.empty() && part != ".") path /= part;
    }
    std::error_code error;
    bool reached = true;
    if (path.parent_path() != checked) {
        fs::path prefix = root;
        const fs::path relative = path.lexically_relative(root);
        for (auto part = relative.begin(); reached && prefix != path.parent_path(); ++part) {
            prefix /= *part;
            reached = fs::is_directory(fs::symlink_status(prefix, error));
        }
        if (reached) checked = path.parent_path();
    }
    const fs::file_status status = fs::symlink_status(path, error);
    if (!reached || !fs::exists(status)) return found;
    found.kind = Found::Kind::not_regular;
    SourceFile file;
    if (!fs::is_regular_file(status) || !open_source(file, path)) return found;  // there, but not to be read
    // A tree extracted with --trim holds each file's own bytes, one without it whole chunks.
    const bool whole_chunk = file.length == entry.chunk_size && file.length != entry.record.size;
    found.compared = whole_chunk ? entry.chunk_size : entry.record.size;
    found.file_size = file.length;
    if (file.length != found.compared) {
        found.kind = Found::Kind::size_differs;
    } else {
        found.kind = Found::Kind::compared;
        if (!ends_past(entry.data_offset, found.compared, new_window.file->length)) {
            file_window.file = &file;
            file_window.size = 0;  // a file of its own each time
            found.same = same_bytes(new_window, entry.data_offset, file_window, 0, found.compared);
        }
    }
    close_source(file);
    return found;
}

}  // namespace

void compare_with_directory(const UpdateArchive& fresh, const std::vector<u32>& positions, const std::string& directory,
                            bool list_extra, DiffReport& report, SourceFile* given) {
    report.directory = true;
    SourceFile own_new;
    SourceFile* new_file = new_side(fresh, given, own_new);
    SourceFile unopened;  // of length 0: every entry's bytes lie outside it
    SourceFile& new_source = new_file != nullptr ? *new_file : unopened;
    const fs::path root = file_path(directory);
    std::vector<Found> found;
    found.reserve(positions.size());
    {
        Window new_window{&new_source};
        Window file_window;
        fs::path checked = root;
        for (const u32 position : positions) {
            found.push_back(look_up(fresh.entries[position], root, checked, new_window, file_window));
        }
    }
    read_to_end(new_file);
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const EntryRecord& entry = fresh.entries[positions[i]];
        DiffEntry change = described(entry, positions[i]);
        switch (found[i].kind) {
            case Found::Kind::added:
                report.added.push_back(change);
                break;
            case Found::Kind::not_regular:
                change.not_regular = true;
                report.changed.push_back(change);
                break;
            case Found::Kind::size_differs:
                change.size_differs = true;
                change.old_size = found[i].file_size;
                change.bytes_differ = true;
                report.changed.push_back(change);
                break;
            case Found::Kind::compared:
                if (ends_past(entry.data_offset, found[i].compared, new_source.length)) {
                    report.damaged.push_back(
                        {change.name, false, entry.data_offset + found[i].compared - new_source.length});
                } else if (!found[i].same) {
                    change.bytes_differ = true;
                    report.changed.push_back(change);
                } else {
                    ++report.same;
                }
                break;
        }
    }
    if (new_file != nullptr && given == nullptr) close_source(own_new);
    if (!list_extra) return;

    std::deque<std::string> keys;
    std::unordered_set<std::string_view> named;
    for (const EntryRecord& entry : fresh.entries) named.insert(key_of(entry, keys));
    std::error_code error;
    for (fs::recursive_directory_iterator walk(root, fs::directory_options::skip_permission_denied, error), end;
         !error && walk != end; walk.increment(error)) {
        if (walk->is_directory(error) && !walk->is_symlink(error)) continue;
        const std::string relative = walk->path().lexically_relative(root).generic_string();
        std::string key;
        if (!named.contains(name_key(relative, native_name_rules(), key))) report.extra.push_back(relative);
    }
    std::sort(report.extra.begin(), report.extra.end());
}

}  // namespace kp
