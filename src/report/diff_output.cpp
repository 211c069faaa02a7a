#include "report/diff_output.h"

#include <cstdio>
#include <string>

namespace kp {

namespace {

// "WHAT OLD -> NEW", as the changes show a field.
std::string from_to(const char* what, long long old_value, long long new_value) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %lld -> %lld", what, old_value, new_value);
    return text;
}

// What changed of an entry, as "size 9001 -> 9100, bytes".
std::string what_changed(const DiffEntry& change) {
    std::string what;
    const auto add = [&what](const std::string& part) {
        if (!what.empty()) what.append(", ");
        what.append(part);
    };
    if (change.not_regular) add("not a regular file");
    if (change.index_differs) add(from_to("index", static_cast<i32>(change.old_index), static_cast<i32>(change.index)));
    if (change.size_differs) {
        add(from_to("size", static_cast<long long>(change.old_size), static_cast<long long>(change.size)));
    }
    if (change.signatures != 0) {
        std::string which = "signatures";
        for (unsigned i = 0; i < 4; ++i) {
            if ((change.signatures & (1u << i)) != 0) which.append(1, ' ').append(1, static_cast<char>('1' + i));
        }
        add(which);
    }
    if (change.bytes_differ) {
        add(change.first_difference ? "bytes from " + std::to_string(*change.first_difference) : std::string("bytes"));
    }
    return what;
}

std::string counted(u64 count, const char* what) {
    return std::to_string(count) + " " + what;
}

void entry_line(ConsoleOutput& console, const char* kind, const DiffEntry& entry) {
    console_print(console, attr_yellow, "%s %s (index %d, %s)\n", kind, escape_for_console(console, entry.name).c_str(),
                  static_cast<i32>(entry.index), counted(entry.size, entry.size == 1 ? "byte" : "bytes").c_str());
}

}  // namespace

void print_diff(ConsoleOutput& console, const DiffReport& report, bool after_reports) {
    // An empty line parts the section from the reports before it, where there are any.
    console_print(console, attr_white,
                  after_reports ? "\n--- Differences from %s: ---\n" : "--- Differences from %s: ---\n",
                  escape_for_console(console, report.other).c_str());
    if (report.version_differs) {
        console_print(console, attr_yellow, "version: %s -> %s\n",
                      escape_for_console(console, report.old_version).c_str(),
                      escape_for_console(console, report.new_version).c_str());
    }
    for (const DiffEntry& entry : report.added) entry_line(console, "added:  ", entry);
    for (const DiffEntry& entry : report.removed) entry_line(console, "removed:", entry);
    for (const DiffEntry& change : report.changed) {
        console_print(console, attr_yellow, "changed: %s: %s\n", escape_for_console(console, change.name).c_str(),
                      what_changed(change).c_str());
    }
    for (const std::string& name : report.extra) {
        console_print(console, attr_yellow, "extra:   %s\n", escape_for_console(console, name).c_str());
    }
    for (const DiffDamage& damage : report.damaged) {
        console_print(console, attr_red, "DAMAGE: %s reaches %s past the end of the %s file.\n",
                      escape_for_console(console, damage.name).c_str(), counted(damage.past_end, "bytes").c_str(),
                      damage.old_side ? "old" : "new");
    }

    std::string counts;
    const auto add = [&counts](const std::string& part) { counts += (counts.empty() ? "" : ", ") + part; };
    if (report.version_differs) add("the version");
    add(counted(report.added.size(), "added"));
    if (!report.directory) add(counted(report.removed.size(), "removed"));
    add(counted(report.changed.size(), "changed"));
    if (report.directory) add(counted(report.extra.size(), "extra"));
    if (!report.damaged.empty()) add(counted(report.damaged.size(), "damaged"));
    if (!report.unreadable.empty()) add(counted(report.unreadable.size(), "unreadable"));
    add(counted(report.same, "the same"));
    if (!report.damaged.empty()) {
        console_print(console, attr_red, "DAMAGED: %s.\n", counts.c_str());
    } else if (!report.unreadable.empty()) {
        // Whatever else it found, a comparison that could not look everywhere is no answer.
        console_print(console, attr_red, "INCOMPLETE: %s.\n", counts.c_str());
    } else if (sides_differ(report)) {
        console_print(console, attr_yellow, "DIFFERENT: %s.\n", counts.c_str());
    } else {
        console_print(console, attr_green, "SAME: %s.\n",
                      counted(report.same, report.same == 1 ? "file" : "files").c_str());
    }
}

namespace {

void json_pair(JsonWriter& json, const char* key, u64 old_value, u64 new_value) {
    json_key(json, key);
    json_begin_object(json);
    json_key(json, "old");
    json_number(json, old_value);
    json_key(json, "new");
    json_number(json, new_value);
    json_end_object(json);
}

void json_entries(JsonWriter& json, const char* key, const std::vector<DiffEntry>& entries) {
    json_break(json, 4);
    json_key(json, key);
    json_begin_array(json);
    for (const DiffEntry& entry : entries) {
        json_break(json, 6);
        json_begin_object(json);
        json_text_field(json, "name", entry.name);
        json_key(json, "position");
        json_number(json, entry.position);
        json_key(json, "index");
        json_number(json, entry.index);
        json_key(json, "size");
        json_number(json, entry.size);
        json_end_object(json);
    }
    json_end_array(json, 4);
}

}  // namespace

void json_diff(JsonWriter& json, const DiffReport& report) {
    json_begin_object(json);
    json_break(json, 4);
    json_text_field(json, "other", report.other);
    json_break(json, 4);
    json_key(json, "kind");
    json_string(json, report.directory ? "directory" : "update");
    json_break(json, 4);
    json_key(json, "version");
    if (report.directory) {
        json.text += "null";
    } else {
        json_begin_object(json);
        json_text_field(json, "old", report.old_version);
        json_text_field(json, "new", report.new_version);
        json_end_object(json);
    }
    json_entries(json, "added", report.added);
    json_entries(json, "removed", report.removed);
    json_break(json, 4);
    json_key(json, "changed");
    json_begin_array(json);
    for (const DiffEntry& change : report.changed) {
        json_break(json, 6);
        json_begin_object(json);
        json_text_field(json, "name", change.name);
        json_key(json, "positions");
        json_begin_object(json);
        if (!report.directory) {
            json_key(json, "old");
            json_number(json, change.old_position);
        }
        json_key(json, "new");
        json_number(json, change.position);
        json_end_object(json);
        if (change.index_differs) json_pair(json, "index", change.old_index, change.index);
        if (change.size_differs) json_pair(json, "size", change.old_size, change.size);
        json_key(json, "signatures");
        json_begin_array(json);
        for (unsigned i = 0; i < 4; ++i) {
            if ((change.signatures & (1u << i)) != 0) json_number(json, i + 1);
        }
        json_end_array(json);
        json_key(json, "bytes");
        json_bool(json, change.bytes_differ);
        if (change.first_difference) {
            json_key(json, "first_difference");
            json_number(json, *change.first_difference);
        }
        json_key(json, "regular");
        json_bool(json, !change.not_regular);
        json_end_object(json);
    }
    json_end_array(json, 4);
    json_break(json, 4);
    json_key(json, "extra");
    json_begin_array(json);
    for (const std::string& name : report.extra) json_string(json, name);
    json_end_array(json);
    json_break(json, 4);
    json_key(json, "damaged");
    json_begin_array(json);
    for (const DiffDamage& damage : report.damaged) {
        json_break(json, 6);
        json_begin_object(json);
        json_text_field(json, "name", damage.name);
        json_key(json, "side");
        json_string(json, damage.old_side ? "old" : "new");
        json_key(json, "past_end");
        json_number(json, damage.past_end);
        json_end_object(json);
    }
    json_end_array(json, 4);
    if (!report.unreadable.empty()) {
        json_break(json, 4);
        json_key(json, "unreadable");
        json_begin_array(json);
        for (const DiffUnreadable& name : report.unreadable) {
            json_break(json, 6);
            json_begin_object(json);
            json_text_field(json, "name", name.name);
            json_key(json, "reason");
            json_string(json, name.text);
            json_end_object(json);
        }
        json_end_array(json, 4);
    }
    json_break(json, 4);
    json_key(json, "same");
    json_number(json, report.same);
    json_break(json, 4);
    json_key(json, "different");
    json_bool(json, sides_differ(report));
    json_end_object(json, 2);
}

}  // namespace kp
