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
    const SourceFile* file = nullptr;
    std::unique_ptr<unsigned char[]> bytes = std::make_unique_for_overwrite<unsigned char[]>(piece);
    u64 offset = 0;
    std::size_t size = 0;

    // The `length` bytes at `at` (at most a piece), read when the window does not hold
    // them; null when the file ends before them.
    const unsigned char* view(u64 at, std::size_t length) {
        if (at < offset || at + length > offset + size) {
            if (at >= file->length || file->length - at < length) return nullptr;
            size = static_cast<std::size_t>(std::min<u64>(piece, file->length - at));
            offset = at;
            if (!read_at(*file, offset, bytes.get(), size)) {
                size = 0;
                return nullptr;
            }
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

// Notes damage when the entry's own bytes do not lie wholly inside `file`; true then.
bool damaged(const EntryRecord& entry, const SourceFile& file, bool open, bool old_side, DiffReport& report) {
    const u64 end = u64{entry.data_offset} + entry.record.size;
    const u64 length = open ? file.length : 0;
    if (end <= length) return false;
    report.damaged.push_back({std::string(record_text(entry.record.name)), old_side, end - length});
    return true;
}

}  // namespace

void compare_archives(const UpdateArchive& fresh, const std::vector<u32>& positions, const UpdateArchive& old,
                      const std::vector<u32>& old_positions, DiffReport& report) {
    report.new_version = record_text(fresh.header.record.name);
    report.old_version = record_text(old.header.record.name);
    report.version_differs = report.new_version != report.old_version;
    SourceFile new_file;
    SourceFile old_file;
    const bool new_open = open_source(new_file, file_path(fresh.path));
    const bool old_open = open_source(old_file, file_path(old.path));

    Window new_window{&new_file};
    Window old_window{&old_file};
    std::deque<std::string> keys;
    std::unordered_map<std::string_view, u32> old_by_key;
    old_by_key.reserve(old_positions.size());
    for (const u32 position : old_positions) old_by_key[key_of(old.entries[position], keys)] = position;
    for (const u32 position : positions) {
        const EntryRecord& entry = fresh.entries[position];
        const bool new_damaged = damaged(entry, new_file, new_open, false, report);
        const auto found = old_by_key.find(key_of(entry, keys));
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
        for (std::size_t i = 0; i < entry.record.signature.size(); ++i) {
            if (entry.record.signature[i] != before.record.signature[i]) change.signatures |= 1u << i;
        }
        // Sizes decide first; the bytes are read only where they agree.
        change.bytes_differ = change.size_differs || (!new_damaged && !old_damaged &&
                                                      !same_bytes(new_window, entry.data_offset, old_window,
                                                                  before.data_offset, entry.record.size));
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
    if (new_open) close_source(new_file);
    if (old_open) close_source(old_file);
}

void compare_with_directory(const UpdateArchive& fresh, const std::vector<u32>& positions, const std::string& directory,
                            bool list_extra, DiffReport& report) {
    report.directory = true;
    SourceFile new_file;
    const bool new_open = open_source(new_file, file_path(fresh.path));
    const fs::path root = file_path(directory);
    Window new_window{&new_file};
    Window file_window;
    fs::path checked = root;  // a directory whose every part was found to be a directory
    for (const u32 position : positions) {
        const EntryRecord& entry = fresh.entries[position];
        const std::string_view name = record_text(entry.record.name);
        // A name extraction refuses is never written, so no directory holds it.
        if (!is_safe_entry_name(name)) {
            report.added.push_back(described(entry, position));
            continue;
        }
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
        if (!reached || !fs::exists(status)) {
            report.added.push_back(described(entry, position));
            continue;
        }
        DiffEntry change = described(entry, position);
        if (!fs::is_regular_file(status)) {
            change.not_regular = true;
            report.changed.push_back(change);
            continue;
        }
        SourceFile file;
        if (!open_source(file, path)) {
            change.not_regular = true;  // there, but not to be read
            report.changed.push_back(change);
            continue;
        }
        // A tree extracted with --trim holds each file's own bytes, one without it whole chunks.
        const bool whole_chunk = file.length == entry.chunk_size && file.length != entry.record.size;
        const u64 compared = whole_chunk ? entry.chunk_size : entry.record.size;
        if (file.length != compared) {
            change.size_differs = true;
            change.old_size = file.length;
            change.bytes_differ = true;
        } else if (u64{entry.data_offset} + compared > (new_open ? new_file.length : 0)) {
            report.damaged.push_back({std::string(name), false, entry.data_offset + compared - new_file.length});
            close_source(file);
            continue;
        } else {
            file_window.file = &file;
            file_window.size = 0;  // a file of its own each time
            change.bytes_differ = !same_bytes(new_window, entry.data_offset, file_window, 0, compared);
        }
        close_source(file);
        if (change.bytes_differ) {
            report.changed.push_back(change);
        } else {
            ++report.same;
        }
    }
    if (new_open) close_source(new_file);
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
