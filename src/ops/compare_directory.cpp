#include <algorithm>
#include <filesystem>
#include <string>
#include <unordered_set>
#include <vector>

#include "fs/file_path.h"
#include "fs/tree.h"
#include "fs/walk.h"
#include "ops/compare.h"
#include "ops/compare_support.h"
#include "ops/names.h"

namespace kp {

namespace {

// What the directory holds for one entry, found before the new side's damage is known.
struct DirectoryMatch {
    enum class Kind : unsigned char { added, not_regular, unreadable, size_differs, compared } kind = Kind::added;
    u64 compared = 0;  // the bytes of the entry that a file of its size holds
    u64 file_size = 0;
    std::optional<u64> difference;  // compared: where its bytes first differ; none: the same
    std::string name;               // unreadable: the directory or file that was
    std::string text;               // unreadable: what the system said
};

DirectoryMatch unreadable(std::string name, std::string text) {
    DirectoryMatch match;
    match.kind = DirectoryMatch::Kind::unreadable;
    match.name = std::move(name);
    match.text = text.empty() ? "could not be read" : std::move(text);
    return match;
}

// The file that stands for `entry` in the walk's directory, compared through
// `file_window` with the entry's bytes as `new_window` reads them. Each part on the way
// must be a directory itself, as extraction would have made it, opened from the one
// before; the leaf is opened as it is and read only when it is a regular file.
DirectoryMatch match_in_directory(const EntryRecord& entry, bool padded, DirectoryWalk& walk, Window& new_window,
                                  Window& file_window) {
    DirectoryMatch match;
    const std::string_view name = record_text(entry.record.name);
    // A name extraction refuses is never written, so no directory holds it.
    if (!is_safe_entry_name(name)) return match;
    std::vector<std::filesystem::path> parts = name_parts(name);
    const std::filesystem::path leaf = parts.back();
    parts.pop_back();
    std::size_t reached = 0;
    DirectoryError error;
    const FileHandle directory = walk_to(walk, parts, reached, error);
    if (directory == no_file) {
        // A part that is missing, no directory or a link: extraction would not have put
        // the file there. Anything else is a refusal to look, which says nothing.
        if (error.missing || error.not_a_directory) return match;
        return unreadable(parts_text(parts, reached + 1), error.text);
    }
    SourceFile file;
    const Leaf kind = open_leaf(directory, leaf, file.handle, file.length);
    if (kind == Leaf::missing) return match;
    if (kind == Leaf::unreadable) return unreadable(std::string(name), last_error_text());
    match.kind = DirectoryMatch::Kind::not_regular;
    if (kind != Leaf::regular) return match;  // there, but not to be read
    // A file is what extraction would have written: the entry's own bytes, or with
    // --padded its whole chunk. Nothing is guessed from its length.
    match.compared = padded ? entry.chunk_size : entry.record.size;
    match.file_size = file.length;
    match.kind = file.length == match.compared ? DirectoryMatch::Kind::compared : DirectoryMatch::Kind::size_differs;
    // As far as both hold bytes; where all of those agree, the shorter's end is the difference.
    const u64 common = std::min(file.length, match.compared);
    if (ByteRange{entry.data_offset, common}.lies_within(new_window.file->length)) {
        file_window.file = &file;
        file_window.size = 0;  // a file of its own each time
        match.difference = first_difference(new_window, entry.data_offset, file_window, 0, common);
        if (!match.difference && file.length != match.compared) match.difference = common;
    }
    close_source(file);
    return match;
}

struct Listing {
    const Exclusions& excludes;
    std::vector<std::string> files;
    std::vector<DiffUnreadable>& unreadable;
};

Listing& listing_of(void* context) {
    return *static_cast<Listing*>(context);
}

// What the walk over the directory meets: every name that is no directory, each
// directory too deep for a name below it as itself, and what it could not read.
const TreeVisit list_visit = {
    .context = nullptr,
    .skip = [](void* context, std::string_view name) { return is_excluded(listing_of(context).excludes, name); },
    .file = [](void* context, std::string&& name,
               bool /*regular*/) { listing_of(context).files.push_back(std::move(name)); },
    .deep =
        [](void* context, std::string&& name, bool) {
            name += '/';
            listing_of(context).files.push_back(std::move(name));
        },
    .unreadable =
        [](void* context, std::string&& name, const DirectoryError& error) {
            if (error.missing || error.not_a_directory) return;  // gone, or swapped for a link, meanwhile
            listing_of(context).unreadable.push_back({name.empty() ? "." : name, error.text});
        },
};

}  // namespace

void compare_with_directory(const UpdateArchive& fresh, const std::vector<u32>& positions, SourceFile& fresh_source,
                            FileHandle directory, const DirectoryComparison& how, DiffReport& report) {
    const bool padded = how.padded;
    const bool list_extra = how.list_extra;
    const Exclusions& excludes = *how.excludes;
    report.directory = true;
    std::vector<ByteRange> reads;
    reads.reserve(positions.size());
    for (const u32 position : positions) reads.push_back(written_bytes(fresh.entries[position], padded));
    if (!readable_in_order(fresh_source, reads)) {
        report.passed = DiffSide::fresh;
        return;
    }
    std::vector<DirectoryMatch> matches;
    matches.reserve(positions.size());
    {
        DirectoryWalk walk;
        walk.root = directory;
        Window new_window{&fresh_source};
        Window file_window;
        for (const u32 position : positions) {
            matches.push_back(match_in_directory(fresh.entries[position], padded, walk, new_window, file_window));
        }
        walk_end(walk);
    }
    finish_source(fresh_source);
    const u64 length = fresh_source.length;
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const EntryRecord& entry = fresh.entries[positions[i]];
        DiffEntry change = diff_entry_of(entry, positions[i]);
        // Bytes the new side does not hold are damage, whatever the directory has: what
        // the entry's own bytes lack, or what its whole chunk lacks where it is compared.
        const ByteRange needed{entry.data_offset, matches[i].kind == DirectoryMatch::Kind::compared
                                                      ? matches[i].compared
                                                      : entry.record.size};
        const bool damaged = !needed.lies_within(length);
        if (damaged) report.damaged.push_back({change.name, false, needed.past(length)});
        switch (matches[i].kind) {
            case DirectoryMatch::Kind::added:
                report.added.push_back(change);
                break;
            case DirectoryMatch::Kind::not_regular:
                change.not_regular = true;
                report.changed.push_back(change);
                break;
            case DirectoryMatch::Kind::unreadable:
                report.unreadable.push_back({matches[i].name, matches[i].text});
                break;
            case DirectoryMatch::Kind::size_differs:
                change.size_differs = true;
                change.size = matches[i].compared;  // what extraction writes of it
                change.old_size = matches[i].file_size;
                change.bytes_differ = true;
                if (!damaged) change.first_difference = matches[i].difference;
                report.changed.push_back(change);
                break;
            case DirectoryMatch::Kind::compared:
                if (damaged) break;
                if (matches[i].difference) {
                    change.bytes_differ = true;
                    change.first_difference = matches[i].difference;
                    report.changed.push_back(change);
                } else {
                    ++report.same;
                }
                break;
        }
    }
    if (!list_extra) return;

    std::deque<std::string> keys;
    std::unordered_set<std::string_view> named;
    for (const EntryRecord& entry : fresh.entries) named.insert(key_of(entry, keys));
    Listing listing{excludes, {}, report.unreadable};
    TreeVisit visit = list_visit;
    visit.context = &listing;
    DirectoryWalk walk;
    walk.root = directory;
    walk_tree(walk, {}, {}, visit, {most_name_parts, longest_name});
    walk_end(walk);
    for (std::string& file : listing.files) {
        std::string key;
        if (!named.contains(name_key(file, native_name_rules(), key))) report.extra.push_back(std::move(file));
    }
    std::sort(report.extra.begin(), report.extra.end());
    // Each once, in the order of their names: an entry's and the listing's may meet.
    std::sort(report.unreadable.begin(), report.unreadable.end(),
              [](const DiffUnreadable& a, const DiffUnreadable& b) { return a.name < b.name; });
    report.unreadable.erase(
        std::unique(report.unreadable.begin(), report.unreadable.end(),
                    [](const DiffUnreadable& a, const DiffUnreadable& b) { return a.name == b.name; }),
        report.unreadable.end());
}

}  // namespace kp
