#include "create/manifest.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <unordered_map>

#include "create/json_places.h"
#include "ops/suggest.h"

namespace kp {

namespace {

using Json = nlohmann::json;

// Where the parser stopped, for text that is no JSON: nothing is thrown, the handler
// is told.
struct SyntaxError final : nlohmann::json_sax<Json> {
    std::string what;
    std::string token;
    std::size_t position = 0;
    bool number_overflow = false;
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t at, const std::string& last, const nlohmann::detail::exception& error) override {
        what = error.what();
        token = last;
        position = at;
        number_overflow = error.id == 406;
        return false;
    }
};

// At most the first 40 bytes of what was read, as a refusal shows it.
std::string shown_token(const std::string& token) {
    return token.size() <= 40 ? token : token.substr(0, 40) + "...";
}

TextPosition position_of(std::string_view text, std::size_t offset) {
    const LineColumn place = line_column(text, offset);
    return {place.line, place.column};
}

// Where the parser stopped and why, in its words but with what it read cut short: a
// number too large for any field is found where it starts.
CreateProblem syntax_problem(std::string_view text) {
    SyntaxError handler;
    Json::sax_parse(text, &handler);
    CreateProblem problem = create_problem(CreateFault::manifest_syntax);
    const std::size_t last = handler.position == 0 ? 0 : handler.position - 1;
    if (handler.number_overflow) {
        problem.at = position_of(text, handler.position - std::min(handler.position, handler.token.size()));
        problem.text = "a number too large for any field: '" + shown_token(handler.token) + "'";
        return problem;
    }
    problem.at = position_of(text, last);
    std::string words = handler.what;
    if (const std::size_t colon = words.find(": ");
        words.find(" at line ") != std::string::npos && colon != std::string::npos) {
        words.erase(0, colon + 2);
    } else if (const std::size_t bracket = words.find("] "); bracket != std::string::npos) {
        words.erase(0, bracket + 2);
    }
    if (const std::size_t read = words.find("; last read: '"); read != std::string::npos) {
        words.erase(read);
        words += "; last read: '" + shown_token(handler.token) + "'";
    }
    problem.text = words;
    return problem;
}

// The keys --json prints: at the top of its document, and in each entry. Everything it
// prints is taken back; anything else is a typo that would be taken in silence.
constexpr std::string_view document_keys[] = {
    "file",       "file_hex",     "version",   "version_hex", "version_tail_hex", "header_signatures", "file_count",
    "data_start", "total_size",   "used_size", "chunk_sum",   "gap_hex",          "entries",           "groups",
    "mismatches", "cut",          "test",      "diff",        "sha256",           "selected",          "extracted",
    "failed",     "skipped",      "missing",   "unmatched",   "missing_indexes",  "missing_positions", "pattern_hints",
    "warnings",   "read_failure", "error",     "reason"};
constexpr std::string_view entry_keys[] = {"position", "index",      "size",   "offset",        "chunk_size", "name",
                                           "name_hex", "signatures", "sha256", "name_tail_hex", "padding_hex"};

// The first key, by place, of the document's own object or an entry's, that --json never
// prints, with the known key nearest it.
bool find_unknown_key(std::string_view text, CreateProblem& problem) {
    const KeyPlace* unknown = nullptr;
    std::vector<std::string_view> candidates;
    const std::vector<ObjectKeys> objects = object_keys(text);
    for (const ObjectKeys& object : objects) {
        const bool top = is_outermost(object);
        if (!top && !is_entry(objects, object)) continue;
        const auto known = top ? std::span<const std::string_view>(document_keys) : std::span(entry_keys);
        for (const KeyPlace& place : object.keys) {
            if (std::find(known.begin(), known.end(), place.key) != known.end()) continue;
            if (unknown == nullptr || place.offset < unknown->offset) {
                unknown = &place;
                candidates.assign(known.begin(), known.end());
            }
        }
    }
    if (unknown == nullptr) return false;
    problem = create_problem(CreateFault::manifest_unknown, std::string(nearest(unknown->key, candidates)),
                             shown_token(unknown->key));
    problem.at = position_of(text, unknown->offset);
    return true;
}

// The first key that an object holds twice, with where both are.
bool find_duplicate_key(std::string_view text, CreateProblem& problem) {
    for (const ObjectKeys& object : object_keys(text)) {
        std::unordered_map<std::string_view, std::size_t> seen;
        for (const KeyPlace& place : object.keys) {
            const auto [first, added] = seen.try_emplace(place.key, place.offset);
            if (added) continue;
            problem = create_problem(CreateFault::manifest_duplicate, {}, shown_token(place.key));
            problem.at = position_of(text, place.offset);
            problem.earlier = position_of(text, first->second);
            return true;
        }
    }
    return false;
}

// What went wrong with one field: its place in the document and what it should hold.
struct Fields {
    CreateProblem& problem;
    bool fail(const std::string& field, const char* should) {
        problem = create_problem(CreateFault::manifest_value, field, should);
        return false;
    }
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A string of hexadecimal byte pairs, as bytes.
bool read_hex_bytes(const Json& value, std::string& bytes) {
    if (!value.is_string()) return false;
    const auto& text = value.get_ref<const std::string&>();
    if (text.size() % 2 != 0) return false;
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hex_digit(text[i]);
        const int low = hex_digit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes += static_cast<char>(high << 4 | low);
    }
    return true;
}

// Four signatures of up to 16 hexadecimal digits each, as --json prints them.
bool read_signatures(const Json& value, std::array<u64, 4>& signatures) {
    if (!value.is_array() || value.size() != signatures.size()) return false;
    for (std::size_t i = 0; i < signatures.size(); ++i) {
        if (!value[i].is_string()) return false;
        const auto& text = value[i].get_ref<const std::string&>();
        if (text.empty() || text.size() > 16) return false;
        u64 signature = 0;
        for (const char c : text) {
            const int digit = hex_digit(c);
            if (digit < 0) return false;
            signature = signature << 4 | static_cast<u64>(digit);
        }
        signatures[i] = signature;
    }
    return true;
}

// A digest as --json prints it: 64 hexadecimal digits.
bool read_sha256(const Json& value, Sha256Digest& digest) {
    std::string bytes;
    if (!read_hex_bytes(value, bytes) || bytes.size() != digest.size()) return false;
    std::copy(bytes.begin(), bytes.end(), digest.begin());
    return true;
}

bool read_u32(const Json& value, u32& number) {
    if (!value.is_number_unsigned() || value.get<u64>() > 0xFFFFFFFFu) return false;
    number = static_cast<u32>(value.get<u64>());
    return true;
}

// A text as --json writes it: `key`, or whole in hexadecimal under `key`_hex where its
// bytes are not UTF-8.
bool read_text(const Json& object, const std::string& key, std::string& text, Fields& fields, const std::string& at) {
    if (const auto hex = object.find(key + "_hex"); hex != object.end()) {
        return read_hex_bytes(*hex, text) || fields.fail(at + key + "_hex", "hexadecimal byte pairs");
    }
    if (const auto plain = object.find(key); plain != object.end()) {
        if (!plain->is_string()) return fields.fail(at + key, "a string");
        text = plain->get_ref<const std::string&>();
    }
    return true;
}

bool read_entry(const Json& value, std::size_t position, NewEntry& entry, Fields& fields) {
    const std::string at = "entries[" + std::to_string(position) + "]";
    entry.index = static_cast<u32>(position);
    if (value.is_string()) {  // a name alone
        entry.name = value.get_ref<const std::string&>();
        return true;
    }
    if (!value.is_object()) return fields.fail(at, "a name, or an object with a name");
    if (!value.contains("name") && !value.contains("name_hex")) return fields.fail(at + ".name", "the entry's name");
    if (!read_text(value, "name", entry.name, fields, at + ".")) return false;
    if (const auto tail = value.find("name_tail_hex"); tail != value.end() && !read_hex_bytes(*tail, entry.name_tail)) {
        return fields.fail(at + ".name_tail_hex", "hexadecimal byte pairs");
    }
    if (const auto padding = value.find("padding_hex");
        padding != value.end() && !read_hex_bytes(*padding, entry.padding)) {
        return fields.fail(at + ".padding_hex", "hexadecimal byte pairs");
    }
    if (const auto index = value.find("index"); index != value.end() && !read_u32(*index, entry.index)) {
        return fields.fail(at + ".index", "a whole number from 0 to 4294967295");
    }
    if (const auto size = value.find("size"); size != value.end()) {
        u32 declared = 0;
        if (!read_u32(*size, declared)) return fields.fail(at + ".size", "a whole number from 0 to 4294967295");
        entry.declared_size = declared;
    }
    if (const auto signatures = value.find("signatures");
        signatures != value.end() && !read_signatures(*signatures, entry.signature)) {
        return fields.fail(at + ".signatures", "four strings of up to 16 hexadecimal digits");
    }
    if (const auto sha256 = value.find("sha256");
        sha256 != value.end() && !read_sha256(*sha256, entry.sha256.emplace())) {
        return fields.fail(at + ".sha256", "a SHA-256 digest: 64 hexadecimal digits");
    }
    return true;
}

}  // namespace

bool read_manifest(std::string_view text, NewArchive& archive, CreateProblem& problem) {
    // Before the parser, whose document and whose checks here grow with the nesting.
    if (const std::size_t deep = too_deep(text); deep != std::string_view::npos) {
        problem = create_problem(CreateFault::manifest_syntax);
        problem.at = position_of(text, deep);
        problem.text =
            "nested more than " + std::to_string(deepest_nesting) + " levels deep; what --json prints is 3 levels deep";
        return false;
    }
    const Json document = Json::parse(text, nullptr, false);
    if (document.is_discarded()) {
        problem = syntax_problem(text);
        return false;
    }
    // The parser keeps the last of a key given twice: a person meant one of them.
    if (find_duplicate_key(text, problem) || find_unknown_key(text, problem)) return false;
    Fields fields{problem};
    if (!document.is_object()) return fields.fail("the document", "an object, as --json prints it");
    if (!read_text(document, "version", archive.version, fields, "")) return false;
    if (const auto tail = document.find("version_tail_hex");
        tail != document.end() && !read_hex_bytes(*tail, archive.version_tail)) {
        return fields.fail("version_tail_hex", "hexadecimal byte pairs");
    }
    if (const auto signatures = document.find("header_signatures");
        signatures != document.end() && !read_signatures(*signatures, archive.header_signature)) {
        return fields.fail("header_signatures", "four strings of up to 16 hexadecimal digits");
    }
    if (const auto gap = document.find("gap_hex"); gap != document.end() && !read_hex_bytes(*gap, archive.gap)) {
        return fields.fail("gap_hex", "hexadecimal byte pairs");
    }
    const auto entries = document.find("entries");
    if (entries == document.end() || !entries->is_array()) return fields.fail("entries", "a list of the entries");
    archive.entries.resize(entries->size());
    for (std::size_t position = 0; position < entries->size(); ++position) {
        if (!read_entry((*entries)[position], position, archive.entries[position], fields)) return false;
    }
    return true;
}

}  // namespace kp
