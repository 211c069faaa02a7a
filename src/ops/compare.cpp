#include "ops/compare.h"

#include <algorithm>
#include <deque>
#include <string>
#include <unordered_map>

#include "ops/compare_support.h"

namespace kp {

namespace {

// Notes damage when the entry's own bytes do not lie wholly inside `file`; true then.
bool damaged(const EntryRecord& entry, const SourceFile& file, bool old_side, DiffReport& report) {
    const ByteRange own = own_bytes(entry);
    if (own.lies_within(file.length)) return false;
    report.damaged.push_back({std::string(record_text(entry.record.name)), old_side, own.past(file.length)});
    return true;
}

}  // namespace

void compare_archives(const UpdateArchive& fresh, const std::vector<u32>& positions, SourceFile& fresh_source,
                      const UpdateArchive& old, const std::vector<u32>& old_positions, SourceFile& old_source,
                      DiffReport& report) {
    report.new_version = record_text(fresh.header.record.name);
    report.old_version = record_text(old.header.record.name);
    report.version_differs = report.new_version != report.old_version;

    std::deque<std::string> keys;
    std::unordered_map<std::string_view, u32> old_by_key;
    old_by_key.reserve(old_positions.size());
    for (const u32 position : old_positions) old_by_key[key_of(old.entries[position], keys)] = position;
    std::vector<std::string_view> new_keys;
    new_keys.reserve(positions.size());
    for (const u32 position : positions) new_keys.push_back(key_of(fresh.entries[position], keys));

    // The bytes first, in the new side's order, as a stream delivers them: as far as both
    // sides hold them, and only up to the first difference, which is where the shorter
    // ends when all before agree (as cmp says). A stream's damage is known once it has
    // ended, after this. Per entry: whether its bytes were compared, and where they differ.
    std::vector<bool> compared(positions.size(), false);
    std::vector<std::optional<u64>> differs(positions.size());
    std::vector<ByteRange> new_reads;
    std::vector<ByteRange> old_reads;
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const auto found = old_by_key.find(new_keys[i]);
        if (found == old_by_key.end()) continue;
        const EntryRecord& entry = fresh.entries[positions[i]];
        const EntryRecord& before = old.entries[found->second];
        const u64 common = std::min(entry.record.size, before.record.size);
        new_reads.push_back({entry.data_offset, common});
        old_reads.push_back({before.data_offset, common});
    }
    if (!readable_in_order(fresh_source, new_reads)) {
        report.passed = DiffSide::fresh;
        return;
    }
    if (!readable_in_order(old_source, old_reads)) {
        report.passed = DiffSide::old;
        return;
    }
    {
        Window new_window{&fresh_source};
        Window old_window{&old_source};
        for (std::size_t i = 0; i < positions.size(); ++i) {
            const EntryRecord& entry = fresh.entries[positions[i]];
            const auto found = old_by_key.find(new_keys[i]);
            if (found == old_by_key.end()) continue;
            const EntryRecord& before = old.entries[found->second];
            const u64 common = std::min(entry.record.size, before.record.size);
            if (!ByteRange{entry.data_offset, common}.lies_within(fresh_source.length) ||
                !ByteRange{before.data_offset, common}.lies_within(old_source.length)) {
                continue;
            }
            compared[i] = true;
            differs[i] = first_difference(new_window, entry.data_offset, old_window, before.data_offset, common);
            if (!differs[i] && entry.record.size != before.record.size) differs[i] = common;  // cmp's EOF
        }
    }
    finish_source(fresh_source);

    for (std::size_t i = 0; i < positions.size(); ++i) {
        const u32 position = positions[i];
        const EntryRecord& entry = fresh.entries[position];
        const bool new_damaged = damaged(entry, fresh_source, false, report);
        const auto found = old_by_key.find(new_keys[i]);
        if (found == old_by_key.end()) {
            report.added.push_back(diff_entry_of(entry, position));
            continue;
        }
        const u32 old_position = found->second;
        old_by_key.erase(found);  // what is left over has been removed
        const EntryRecord& before = old.entries[old_position];
        const bool old_damaged = damaged(before, old_source, true, report);
        DiffEntry change = diff_entry_of(entry, position);
        change.old_position = old_position;
        change.old_index = before.record.index;
        change.old_size = before.record.size;
        change.index_differs = change.index != change.old_index;
        change.size_differs = change.size != change.old_size;
        for (std::size_t s = 0; s < entry.record.signature.size(); ++s) {
            if (entry.record.signature[s] != before.record.signature[s]) change.signatures |= 1u << s;
        }
        change.bytes_differ =
            change.size_differs || (!new_damaged && !old_damaged && (!compared[i] || differs[i].has_value()));
        if (!new_damaged && !old_damaged) change.first_difference = differs[i];
        if (change.index_differs || change.size_differs || change.signatures != 0 || change.bytes_differ) {
            report.changed.push_back(change);
        } else if (!new_damaged && !old_damaged) {
            ++report.same;
        }
    }
    for (const u32 position : old_positions) {
        if (old_by_key.contains(key_of(old.entries[position], keys))) {
            damaged(old.entries[position], old_source, true, report);
            report.removed.push_back(diff_entry_of(old.entries[position], position));
        }
    }
}

bool sides_differ(const DiffReport& report) {
    return report.version_differs || !report.added.empty() || !report.removed.empty() || !report.changed.empty() ||
           !report.extra.empty();
}

}  // namespace kp
