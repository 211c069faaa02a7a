#include "extract/compare.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "archive/file_path.h"
#include "extract/compare_support.h"
#include "extract/names.h"

namespace kp {

namespace fs = std::filesystem;

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
