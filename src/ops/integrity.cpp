#include "ops/integrity.h"

#include <string>
#include <string_view>
#include <unordered_map>

#include "fs/copy.h"
#include "fs/stream.h"

namespace kp {

namespace {

// Entries that a later entry with the same key hides, with that later entry.
template <typename Key, typename KeyOf>
std::vector<EntryFinding> hidden_by_later(const UpdateArchive& archive, KeyOf key_of) {
    std::unordered_map<Key, u32> latest;
    for (u32 position = 0; position < archive.entries.size(); ++position) {
        latest[key_of(archive.entries[position])] = position;
    }
    std::vector<EntryFinding> hidden;
    for (u32 position = 0; position < archive.entries.size(); ++position) {
        const u32 winner = latest[key_of(archive.entries[position])];
        if (winner != position) hidden.push_back({position, 0, winner});
    }
    return hidden;
}

}  // namespace

IntegrityReport check_integrity(const UpdateArchive& archive, u64 file_length, NameRules rules) {
    IntegrityReport report;
    report.file_length = file_length;
    if (!archive.loaded) return report;
    report.declared_end = archive_end(archive);
    for (u32 position = 0; position < archive.entries.size(); ++position) {
        const EntryRecord& entry = archive.entries[position];
        const ByteRange chunk = chunk_bytes(entry);
        if (!chunk.lies_within(file_length)) report.outside.push_back({position, chunk.past(file_length), 0});
        if (!is_safe_entry_name(record_text(entry.record.name), rules)) report.refused.push_back({position, 0, 0});
    }
    // With a multiple of four entries the data region starts at the last directory record,
    // as archives in the field are laid out: those 128 bytes are that record and the first
    // bytes of entry 0's chunk at once.
    report.region_in_directory = archive.entries.size() % 4 == 0;
    report.trailing_bytes = file_length > report.declared_end ? file_length - report.declared_end : 0;
    report.repeated_indexes = hidden_by_later<u32>(archive, [](const EntryRecord& e) { return e.record.index; });
    // Names that lead to one file count as one name: only the latest is written.
    report.repeated_names = hidden_by_later<std::string>(
        archive, [rules](const EntryRecord& e) { return name_key(record_text(e.record.name), rules); });
    report.mismatches = mismatched_positions(archive).size();
    return report;
}

IntegrityReport check_archive_file(const UpdateArchive& archive, SourceFile& source, const Exclusions& excludes) {
    finish_source(source);  // a stream's length is what it delivered
    IntegrityReport report = check_integrity(archive, source.length, native_name_rules());
    if (excludes.empty()) return report;
    const auto excluded = [&](const EntryFinding& finding) {
        return is_excluded(excludes, record_text(archive.entries[finding.position].record.name));
    };
    std::erase_if(report.refused, excluded);
    std::erase_if(report.repeated_indexes, excluded);
    std::erase_if(report.repeated_names, excluded);
    return report;
}

u64 short_by(const IntegrityReport& report) {
    return report.declared_end > report.file_length ? report.declared_end - report.file_length : 0;
}

std::size_t note_count(const IntegrityReport& report) {
    return (report.region_in_directory ? 1 : 0) + (report.trailing_bytes != 0 ? 1 : 0) + report.refused.size() +
           report.repeated_indexes.size() + report.repeated_names.size();
}

}  // namespace kp
