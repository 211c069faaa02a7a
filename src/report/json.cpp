#include "report/json.h"

#include <cstdio>

namespace kp {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// A comma before the next value, unless it opens its object or array or follows a key.
void separate(JsonWriter& json) {
    const std::size_t last = json.text.find_last_not_of(" \n");
    if (last != std::string::npos && json.text[last] != '{' && json.text[last] != '[' && json.text[last] != ':' &&
        json.text[last] != ',') {
        json.text += ',';
        if (json.text[last] != '\n') json.text += ' ';
    }
}

void open_bracket(JsonWriter& json, char bracket) {
    separate(json);
    json.text += bracket;
}

// A closing bracket, on a line of its own unless it closes an empty object or array.
void close_bracket(JsonWriter& json, int indent, char bracket) {
    if (indent >= 0 && json.text.back() != '{' && json.text.back() != '[') {
        json.text += '\n';
        json.text.append(static_cast<std::size_t>(indent), ' ');
    }
    json.text += bracket;
}

}  // namespace

void json_begin_object(JsonWriter& json) {
    open_bracket(json, '{');
}

void json_end_object(JsonWriter& json, int indent) {
    close_bracket(json, indent, '}');
}

void json_begin_array(JsonWriter& json) {
    open_bracket(json, '[');
}

void json_end_array(JsonWriter& json, int indent) {
    close_bracket(json, indent, ']');
}

void json_break(JsonWriter& json, int indent) {
    const std::size_t last = json.text.find_last_not_of(" \n");
    if (last != std::string::npos && json.text[last] != '{' && json.text[last] != '[' && json.text[last] != ',') {
        json.text += ',';
    }
    json.text += '\n';
    json.text.append(static_cast<std::size_t>(indent), ' ');
}

void json_key(JsonWriter& json, std::string_view key) {
    json_string(json, key);
    json.text += ": ";
}

void json_number(JsonWriter& json, u64 value) {
    separate(json);
    json.text += std::to_string(value);
}

void json_bool(JsonWriter& json, bool value) {
    separate(json);
    json.text += value ? "true" : "false";
}

void json_hex64(JsonWriter& json, u64 value) {
    separate(json);
    char digits[17];
    for (int i = 15; i >= 0; --i, value >>= 4) digits[i] = hex_digits[value & 0xF];
    digits[16] = '\0';
    json.text += '"';
    json.text += digits;
    json.text += '"';
}

bool json_string(JsonWriter& json, std::string_view bytes) {
    separate(json);
    bool valid = true;
    json.text += '"';
    while (!bytes.empty()) {
        const std::size_t length = utf8_sequence(bytes);
        if (length == 0) {
            json.text += "\xEF\xBF\xBD";  // U+FFFD for this byte alone
            valid = false;
            bytes.remove_prefix(1);
            continue;
        }
        const char c = bytes[0];
        if (c == '"' || c == '\\') {
            json.text += '\\';
            json.text += c;
        } else if (c == '\n') {
            json.text += "\\n";
        } else if (c == '\t') {
            json.text += "\\t";
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            json.text += "\\u00";
            json.text += hex_digits[static_cast<unsigned char>(c) >> 4];
            json.text += hex_digits[c & 0xF];
        } else {
            json.text.append(bytes.data(), length);
        }
        bytes.remove_prefix(length);
    }
    json.text += '"';
    return valid;
}

void json_text_field(JsonWriter& json, std::string_view key, std::string_view bytes) {
    json_key(json, key);
    if (json_string(json, bytes)) return;
    json_key(json, std::string(key) + "_hex");
    std::string hex;
    for (const char c : bytes) {
        hex += hex_digits[static_cast<unsigned char>(c) >> 4];
        hex += hex_digits[c & 0xF];
    }
    json_string(json, hex);
}

namespace {

// `bytes` up to the last that is not zero.
std::string_view trailing_zeros_dropped(std::string_view bytes) {
    const std::size_t last = bytes.find_last_not_of('\0');
    return last == std::string_view::npos ? std::string_view() : bytes.substr(0, last + 1);
}

// The bytes of a text field after its NUL, up to the last that is not zero: what the text
// alone does not tell of the field. Empty when they are all zero.
std::string_view field_tail(const std::array<char, text_field_size>& field) {
    const std::string_view text = record_text(field);
    if (text.size() + 1 >= field.size()) return {};
    return trailing_zeros_dropped(std::string_view(field.data() + text.size() + 1, field.size() - text.size() - 1));
}

// `key` with `bytes` in hexadecimal, where any of them is not zero.
void json_hex_field(JsonWriter& json, std::string_view key, std::string_view bytes) {
    if (bytes.empty()) return;
    json_key(json, key);
    std::string hex;
    for (const char c : bytes) {
        hex += hex_digits[static_cast<unsigned char>(c) >> 4];
        hex += hex_digits[c & 0xF];
    }
    json_string(json, hex);
}

}  // namespace

std::string json_error_document(std::string_view message, std::string_view reason,
                                const std::vector<std::string>& warnings) {
    JsonWriter json;
    json_begin_object(json);
    json_key(json, "error");
    json_string(json, message);
    if (!reason.empty()) {
        json_key(json, "reason");
        json_string(json, reason);
    }
    if (!warnings.empty()) {
        json_key(json, "warnings");
        json_begin_array(json);
        for (const std::string& warning : warnings) json_string(json, warning);
        json_end_array(json);
    }
    json_end_object(json);
    return json.text;
}

void json_archive_fields(JsonWriter& json, std::string_view file, const UpdateArchive& archive,
                         const UnseenBytes* unseen, const EntrySums* sums) {
    const DirectoryRecord& header = archive.header.record;
    json_break(json, 2);
    json_text_field(json, "file", file);
    json_break(json, 2);
    json_text_field(json, "version", record_text(header.name));
    // What the rest of the header and the gap before the data hold, where it is not zero,
    // so that the document and the files' chunks are the whole update file.
    if (!field_tail(header.name).empty()) {
        json_break(json, 2);
        json_hex_field(json, "version_tail_hex", field_tail(header.name));
    }
    if (header.signature != std::array<u64, 4>{}) {
        json_break(json, 2);
        json_key(json, "header_signatures");
        json_begin_array(json);
        for (const u64 signature : header.signature) json_hex64(json, signature);
        json_end_array(json);
    }
    const std::pair<const char*, u64> sizes[] = {
        {"file_count", header.index},
        {"data_start", archive.data_start},
        {"total_size", static_cast<u32>(archive.data_start + archive.chunk_sum)},
        {"used_size", archive.used_size},
        {"chunk_sum", archive.chunk_sum},
    };
    for (const auto& [key, value] : sizes) {
        json_break(json, 2);
        json_key(json, key);
        json_number(json, value);
    }
    if (unseen != nullptr && !unseen->gap.empty()) {
        json_break(json, 2);
        json_hex_field(json, "gap_hex", unseen->gap);
    }

    json_break(json, 2);
    json_key(json, "entries");
    json_begin_array(json);
    for (std::size_t position = 0; position < archive.entries.size(); ++position) {
        const EntryRecord& entry = archive.entries[position];
        json_break(json, 4);
        json_begin_object(json);
        json_key(json, "position");
        json_number(json, position);
        json_key(json, "index");
        json_number(json, entry.record.index);
        json_key(json, "size");
        json_number(json, entry.record.size);
        json_key(json, "offset");
        json_number(json, entry.data_offset);
        json_key(json, "chunk_size");
        json_number(json, entry.chunk_size);
        json_text_field(json, "name", record_text(entry.record.name));
        json_key(json, "signatures");
        json_begin_array(json);
        for (const u64 signature : entry.record.signature) json_hex64(json, signature);
        json_end_array(json);
        if (sums != nullptr && position < sums->sums.size() && sums->sums[position]) {
            json_key(json, "sha256");
            json_string(json, hex_of(*sums->sums[position]));
        }
        json_hex_field(json, "name_tail_hex", field_tail(entry.record.name));
        if (unseen != nullptr && position < unseen->padding.size()) {
            json_hex_field(json, "padding_hex", unseen->padding[position]);
        }
        json_end_object(json);
    }
    json_end_array(json, 2);

    json_break(json, 2);
    json_key(json, "groups");
    json_begin_array(json);
    for (const SignatureGroup& group : archive.groups) {
        json_break(json, 4);
        json_begin_object(json);
        json_key(json, "signature");
        json_hex64(json, group.signature);
        json_key(json, "positions");
        json_begin_array(json);
        for (const u32 position : group.positions) json_number(json, position);
        json_end_array(json);
        json_end_object(json);
    }
    json_end_array(json, 2);

    json_break(json, 2);
    json_key(json, "mismatches");
    json_begin_array(json);
    for (const u32 position : mismatched_positions(archive)) {
        const DirectoryRecord& record = archive.entries[position].record;
        json_break(json, 4);
        json_begin_object(json);
        json_key(json, "position");
        json_number(json, position);
        json_key(json, "index");
        json_number(json, record.index);
        json_text_field(json, "name", record_text(record.name));
        json_end_object(json);
    }
    json_end_array(json, 2);
}

}  // namespace kp
