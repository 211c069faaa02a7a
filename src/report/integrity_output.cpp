#include "report/integrity_output.h"

#include <string>

#include "report/reports.h"

namespace kp {

namespace {

// "entry 4 (index 4) name", the way every finding names its entry.
void print_entry_finding(ConsoleOutput& console, u16 attribute, const char* kind, const UpdateArchive& archive,
                         u32 position, const std::string& what) {
    const DirectoryRecord& record = archive.entries[position].record;
    console_print(console, attribute, "%s: entry %u (index %d) %s %s\n", kind, position, static_cast<i32>(record.index),
                  escape_for_console(console, record_text(record.name)).c_str(), what.c_str());
}

std::string counted(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The findings under `key`, each with its entry and, where `extra` names one, a value of
// its own.
void json_entry_findings(JsonWriter& json, const char* key, const UpdateArchive& archive,
                         const std::vector<EntryFinding>& findings, const char* extra = nullptr,
                         u64 (*extra_value)(const EntryFinding&) = nullptr) {
    json_break(json, 4);
    json_key(json, key);
    json_begin_array(json);
    for (const EntryFinding& finding : findings) {
        const DirectoryRecord& record = archive.entries[finding.position].record;
        json_break(json, 6);
        json_begin_object(json);
        json_key(json, "position");
        json_number(json, finding.position);
        json_key(json, "index");
        json_number(json, record.index);
        json_text_field(json, "name", record_text(record.name));
        if (extra != nullptr) {
            json_key(json, extra);
            json_number(json, extra_value(finding));
        }
        json_end_object(json);
    }
    json_end_array(json, 4);
}

}  // namespace

void print_integrity(ConsoleOutput& console, const UpdateArchive& archive, const IntegrityReport& report) {
    console_print(console, attr_white, "\n--- Test of the file: ---\n");
    for (const EntryFinding& finding : report.outside) {
        print_entry_finding(console, attr_red, "DAMAGE", archive, finding.position,
                            "reaches " + std::to_string(finding.bytes) + " bytes past the end of the file.");
    }
    if (report.region_in_directory) {
        console_print(console, attr_yellow,
                      "note: the data region begins inside the directory: entry 0 starts with the last directory "
                      "record.\n");
    }
    if (report.trailing_bytes != 0) {
        console_print(console, attr_yellow, "note: %I64u bytes after the declared end of the archive.\n",
                      wide(report.trailing_bytes));
    }
    for (const EntryFinding& finding : report.refused) {
        print_entry_finding(console, attr_yellow, "note", archive, finding.position,
                            "has a name that extraction would refuse.");
    }
    for (const EntryFinding& finding : report.repeated_indexes) {
        print_entry_finding(
            console, attr_yellow, "note", archive, finding.position,
            "cannot be selected by its index number: entry " + std::to_string(finding.later) + " carries it too.");
    }
    for (const EntryFinding& finding : report.repeated_names) {
        print_entry_finding(console, attr_yellow, "note", archive, finding.position,
                            "is not written by --all: entry " + std::to_string(finding.later) + " has its name too.");
    }

    std::string also;  // the notes and mismatches, where there are any
    if (note_count(report) != 0) also = counted(note_count(report), "note", "notes");
    if (report.mismatches != 0) {
        also += also.empty() ? "" : ", ";
        also += counted(report.mismatches, "second-signature mismatch", "second-signature mismatches");
    }
    if (!also.empty()) also.insert(0, "; ");
    const std::size_t files = archive.entries.size();
    if (report.outside.empty()) {
        console_print(console, attr_green, "OK: %s, no damage found%s.\n", counted(files, "file", "files").c_str(),
                      also.c_str());
    } else {
        console_print(console, attr_red, "DAMAGED: %u of %s %s outside the file (short by %I64u bytes)%s.\n",
                      static_cast<unsigned>(report.outside.size()), counted(files, "file", "files").c_str(),
                      report.outside.size() == 1 ? "lies" : "lie", wide(short_by(report)), also.c_str());
    }
}

void json_integrity(JsonWriter& json, const UpdateArchive& archive, const IntegrityReport& report) {
    json_begin_object(json);
    const std::pair<const char*, u64> sizes[] = {
        {"file_length", report.file_length}, {"declared_end", report.declared_end},
        {"short_by", short_by(report)},      {"trailing_bytes", report.trailing_bytes},
        {"mismatches", report.mismatches},   {"notes", note_count(report)},
    };
    for (const auto& [key, value] : sizes) {
        json_break(json, 4);
        json_key(json, key);
        json_number(json, value);
    }
    json_break(json, 4);
    json_key(json, "damaged");
    json_bool(json, !report.outside.empty());
    json_break(json, 4);
    json_key(json, "region_in_directory");
    json_bool(json, report.region_in_directory);
    const auto past_end = [](const EntryFinding& finding) { return finding.bytes; };
    const auto later = [](const EntryFinding& finding) { return u64{finding.later}; };
    json_entry_findings(json, "outside", archive, report.outside, "past_end", past_end);
    json_entry_findings(json, "refused_names", archive, report.refused);
    json_entry_findings(json, "repeated_indexes", archive, report.repeated_indexes, "later_position", later);
    json_entry_findings(json, "repeated_names", archive, report.repeated_names, "later_position", later);
    json_end_object(json, 2);
}

}  // namespace kp
