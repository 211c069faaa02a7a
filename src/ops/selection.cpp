#include "ops/selection.h"

#include <algorithm>
#include <deque>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "ops/names.h"

namespace kp {

const EntryRecord* find_entry_by_index(const UpdateArchive& archive, i32 index) {
    if (!archive.loaded) return nullptr;
    for (auto entry = archive.entries.rbegin(); entry != archive.entries.rend(); ++entry) {
        if (entry->record.index == static_cast<u32>(index)) return &*entry;
    }
    return nullptr;
}

SelectedEntries select_entries(const UpdateArchive& archive, const Selection& selection) {
    SelectedEntries selected;
    if (!archive.loaded) return selected;
    const std::size_t count = archive.entries.size();
    std::vector<bool> chosen(count, selection.all || selection.every);
    if (selection.index) {
        if (const EntryRecord* entry = find_entry_by_index(archive, *selection.index)) {
            chosen[static_cast<std::size_t>(entry - archive.entries.data())] = true;
        }
    }
    if (!selection.names.empty() || !selection.members.empty()) {
        // One pass for all names, so that many names cost no more than a few.
        std::unordered_map<std::string_view, std::size_t> latest;
        for (std::size_t position = 0; position < count; ++position) {
            latest[record_text(archive.entries[position].record.name)] = position;
        }
        const auto choose = [&](const std::vector<std::string>& names, std::vector<std::string_view>& missing) {
            for (const std::string& name : names) {
                const auto found = latest.find(name);
                if (found != latest.end()) {
                    chosen[found->second] = true;
                } else {
                    missing.push_back(name);
                }
            }
        };
        choose(selection.names, selected.missing.names);
        choose(selection.members, selected.missing.members);
    }
    for (const auto& [index, text] : selection.indexes) {
        std::size_t position = count;
        while (position > 0 && archive.entries[position - 1].record.index != index) --position;
        if (position > 0) {
            chosen[position - 1] = true;
        } else {
            selected.missing.indexes.push_back(text);
        }
    }
    for (const auto& [position, text] : selection.positions) {
        if (position < count) {
            chosen[position] = true;
        } else {
            selected.missing.positions.push_back(text);
        }
    }
    for (const std::string& pattern : selection.patterns) {
        const CompiledPattern compiled = compile_pattern(pattern, native_name_rules());
        bool matched = false;
        for (std::size_t position = 0; position < count; ++position) {
            if (pattern_matches(compiled, record_text(archive.entries[position].record.name))) {
                chosen[position] = true;
                matched = true;
            }
        }
        if (!matched) {
            selected.missing.patterns.push_back(pattern);
            std::size_t deeper = 0;
            if (!pattern.starts_with("**/")) {
                const CompiledPattern below = compile_pattern("**/" + pattern, native_name_rules());
                for (std::size_t position = 0; position < count; ++position) {
                    if (pattern_matches(below, record_text(archive.entries[position].record.name))) ++deeper;
                }
            }
            selected.missing.deeper_matches.push_back(deeper);
        }
    }
    if (!selection.excludes.empty()) {
        for (std::size_t position = 0; position < count; ++position) {
            if (chosen[position] &&
                is_excluded(selection.excludes, record_text(archive.entries[position].record.name))) {
                chosen[position] = false;
            }
        }
    }
    // From the end, so that of several entries that write one file the latest is kept.
    std::unordered_set<std::string_view> files;
    files.reserve(count);
    std::deque<std::string> keys;  // the keys that are not names themselves
    for (std::size_t position = count; position-- > 0 && !selection.every;) {
        if (!chosen[position]) continue;
        const std::string_view name = record_text(archive.entries[position].record.name);
        const std::string_view left = stripped_name(name, selection.strip, native_name_rules());
        if (left.empty() && selection.strip != 0) continue;  // nothing left to write: skipped, never one file
        std::string storage;
        const std::string_view key = name_key(left, native_name_rules(), storage);
        if (files.contains(key)) {
            chosen[position] = false;
        } else {
            files.insert(storage.empty() ? key : std::string_view(keys.emplace_back(std::move(storage))));
        }
    }
    for (std::size_t position = 0; position < count; ++position) {
        if (chosen[position]) selected.positions.push_back(static_cast<u32>(position));
    }
    return selected;
}

SelectionMisses missed_by_both(const SelectionMisses& one, const SelectionMisses& other) {
    const auto both = [](const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
        std::vector<std::string_view> shared;
        for (const std::string_view text : a) {
            if (std::find(b.begin(), b.end(), text) != b.end()) shared.push_back(text);
        }
        return shared;
    };
    SelectionMisses shared = {both(one.names, other.names),
                              both(one.patterns, other.patterns),
                              both(one.indexes, other.indexes),
                              both(one.positions, other.positions),
                              {},
                              both(one.members, other.members),
                              {}};
    for (const std::string_view pattern : shared.patterns) {
        const auto at = std::find(one.patterns.begin(), one.patterns.end(), pattern) - one.patterns.begin();
        shared.deeper_matches.push_back(one.deeper_matches[static_cast<std::size_t>(at)]);
    }
    return shared;
}

bool anything_missing(const SelectionMisses& missing) {
    return !missing.names.empty() || !missing.members.empty() || !missing.patterns.empty() ||
           !missing.indexes.empty() || !missing.positions.empty();
}

}  // namespace kp
