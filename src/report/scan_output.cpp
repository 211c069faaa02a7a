#include "report/scan_output.h"

#include <cstdio>

namespace kp {

namespace {

std::string hex_offset(u64 value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}

// What the table's notes column says: "-", or the marks joined by commas.
std::string notes_of(const FoundUpdate& found) {
    std::string notes;
    const auto add = [&notes](const std::string& note) { notes += (notes.empty() ? "" : ",") + note; };
    if (found.inside) add("in=" + hex_offset(found.within));
    if (found.cut) add("cut");
    if (found.hit.weak) add("weak");
    return notes.empty() ? "-" : notes;
}

void say(ScanText& text, const std::string& line) {
    console_to_stderr(*text.console, "kpupdate: " + escape_for_stderr(*text.console, line) + "\n");
}

// The document's start: the size first where it is known now (a file), else at the end.
void json_begin(ScanText& text) {
    JsonWriter json;
    json_begin_object(json);
    json_key(json, "scan");
    json_begin_object(json);
    json_break(json, 2);
    json_text_field(json, "file", text.file);
    if (text.size_known) {
        json_break(json, 2);
        json_key(json, "size");
        json_number(json, text.size);
    }
    json_break(json, 2);
    json_key(json, "found");
    json.text += "[";
    console_print(*text.console, text.console->current_attribute, "%s", json.text.c_str());
    text.begun = true;
}

// Each hit as it comes, so that a blob of millions holds none of them in memory.
void json_found(ScanText& text, const FoundUpdate& found, const CarveOutcome* carved) {
    if (!text.begun) json_begin(text);
    JsonWriter json;
    json.text = text.hits > 1 ? ",\n      " : "\n      ";
    json_begin_object(json);
    json_key(json, "offset");
    json_number(json, found.hit.offset);
    json_key(json, "end");
    json_number(json, found.end);
    json_key(json, "file_count");
    json_number(json, found.hit.file_count);
    json_text_field(json, "version", record_text(found.hit.version));
    json_key(json, "cut");
    json_bool(json, found.cut);
    json_key(json, "within");
    if (found.inside) {
        json_number(json, found.within);
    } else {
        json.text += "null";
    }
    json_key(json, "weak");
    json_bool(json, found.hit.weak);
    if (carved != nullptr) {
        json_key(json, "carved");
        if (carved->placed == Placed::written) {
            json_string(json, carved->path);
        } else {
            json.text += "null";
            json_key(json, "carve_problem");
            json_string(json, carve_problem_text(*carved));
        }
    }
    json_end_object(json);
    console_print(*text.console, text.console->current_attribute, "%s", json.text.c_str());
}

}  // namespace

std::string carve_problem_text(const CarveOutcome& outcome) {
    if (outcome.skipped) return "not carved: a stream gives its bytes once, and they went to the file that holds it";
    if (outcome.placed == Placed::kept) return "a file of that name is there already";
    return outcome.system_text.empty() ? "it could not be written" : outcome.system_text;
}

void scan_text_found(ScanText& text, const FoundUpdate& found, const CarveOutcome* carved) {
    ++text.hits;
    if (text.json) {
        json_found(text, found, carved);
        return;
    }
    ConsoleOutput& console = *text.console;
    if (!text.headed) {
        console_print(console, attr_white, "%s", "offset      end         files  notes  version\n");
        text.headed = true;
    }
    const std::string notes = notes_of(found);
    console_print(console, attr_cyan, "%s  %s  ", hex_offset(found.hit.offset).c_str(), hex_offset(found.end).c_str());
    console_print(console, console.current_attribute, "%5u  ", static_cast<unsigned>(found.hit.file_count));
    console_print(console, found.cut || found.hit.weak ? attr_yellow : console.current_attribute, "%-5s  ",
                  notes.c_str());
    console_print(console, attr_green, "%s\n", escape_for_console(console, record_text(found.hit.version)).c_str());
    if (carved == nullptr) return;
    if (carved->placed == Placed::written) {
        if (text.verbose)
            console_print(console, console.current_attribute, "%s\n",
                          escape_for_console(console, carved->path).c_str());
    } else if (!carved->skipped || text.verbose) {
        say(text, carved->path + ": " + carve_problem_text(*carved));
    }
}

void scan_text_end(ScanText& text, u64 size, const std::string& read_failure) {
    if (!read_failure.empty())
        say(text, text.file + ": the scan stopped after " + std::to_string(size) + " bytes: " + read_failure);
    if (!text.json) {
        if (text.hits == 0) say(text, "no update file found in " + text.file + " (" + std::to_string(size) + " bytes)");
        console_restore(*text.console);
        return;
    }
    if (!text.begun) json_begin(text);
    JsonWriter json;
    json.text = text.hits == 0 ? "]" : "\n  ]";
    if (!text.size_known) {
        json_break(json, 2);
        json_key(json, "size");
        json_number(json, size);
    }
    if (!read_failure.empty()) {
        json_break(json, 2);
        json_key(json, "read_failure");
        json_string(json, read_failure);
    }
    json.text += "\n}}\n";
    console_print(*text.console, text.console->current_attribute, "%s", json.text.c_str());
    console_restore(*text.console);
}

}  // namespace kp
