// JSON text (RFC 8259, UTF-8) built in a string, and the archive as a JSON object's fields.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "archive/update_archive.h"
#include "ops/digests.h"

namespace kp {

// A document under construction. Commas between values are put in by the writer; line
// breaks where the caller asks for them.
struct JsonWriter {
    std::string text;
};

// Closing brackets go on a new line indented by `indent` spaces, or with -1 right after
// the last value; an empty object or array stays on one line.
void json_begin_object(JsonWriter& json);
void json_end_object(JsonWriter& json, int indent = -1);
void json_begin_array(JsonWriter& json);
void json_end_array(JsonWriter& json, int indent = -1);

// A line break indented by `indent` spaces before the next key or value.
void json_break(JsonWriter& json, int indent);

// An object's key; its value follows.
void json_key(JsonWriter& json, std::string_view key);

void json_number(JsonWriter& json, u64 value);
void json_bool(JsonWriter& json, bool value);

// A 64-bit value as 16 lower-case hexadecimal digits in a string: JSON numbers do not
// hold 64 bits exactly everywhere.
void json_hex64(JsonWriter& json, u64 value);

// Bytes as a JSON string: '"', '\', every byte below 0x20 and DEL escaped, and each byte
// that is not part of valid UTF-8 (shortest forms only, no surrogates, nothing above
// U+10FFFF) as U+FFFD. Returns whether the bytes were valid UTF-8.
bool json_string(JsonWriter& json, std::string_view bytes);

// "key": the bytes as a string, and when they are not valid UTF-8 also "key_hex": every
// byte in hexadecimal, so that nothing is lost.
void json_text_field(JsonWriter& json, std::string_view key, std::string_view bytes);

// A document that holds only why the run ended: {"error": MESSAGE}, with "reason" where
// the system or the check said more, and the "warnings" the arguments earned, if any.
std::string json_error_document(std::string_view message, std::string_view reason,
                                const std::vector<std::string>& warnings);

// The fields that describe a loaded archive: file, version, its sizes, entries, groups
// (of two or more, as the text report shows them) and second-signature mismatches, with
// the gap and each entry's padding from `unseen` (may be null) where not all zero, and
// each entry's digest from `sums` (may be null) where it has one. Each field starts on a
// new line indented by two.
void json_archive_fields(JsonWriter& json, std::string_view file, const UpdateArchive& archive,
                         const UnseenBytes* unseen, const EntrySums* sums);

}  // namespace kp
