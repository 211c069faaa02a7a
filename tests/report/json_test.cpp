#include "report/json.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "archive_builder.h"
#include "support/capture.h"
#include "support/run_tool.h"

namespace kp {
namespace {

const std::string replacement = "\xEF\xBF\xBD";

TEST(JsonString, EscapesAndReplacesWhatJsonCannotHold) {
    const struct {
        std::string bytes;
        std::string json;
        bool valid;
    } cases[] = {
        {"plain", "\"plain\"", true},
        {"", "\"\"", true},
        {"a\"b\\c", "\"a\\\"b\\\\c\"", true},
        {"\x01\x1f\x7f\n\t", "\"\\u0001\\u001f\\u007f\\n\\t\"", true},
        {"\xC3\xBC \xF0\x9F\x98\x80 \xEF\xBF\xBF", "\"\xC3\xBC \xF0\x9F\x98\x80 \xEF\xBF\xBF\"", true},
        {"\xFC-ansi", "\"" + replacement + "-ansi\"", false},
        {"\xC0\xAF", "\"" + replacement + replacement + "\"", false},                    // overlong
        {"\xED\xA0\x80", "\"" + replacement + replacement + replacement + "\"", false},  // surrogate
        {"\xF4\x90\x80\x80x", "\"" + replacement + replacement + replacement + replacement + "x\"", false},
        {"a\xE2\x82", "\"a" + replacement + replacement + "\"", false},  // cut short
        {std::string("a\0b", 3), "\"a\\u0000b\"", true},
    };
    for (const auto& c : cases) {
        JsonWriter json;
        EXPECT_EQ(json_string(json, c.bytes), c.valid) << c.json;
        EXPECT_EQ(json.text, c.json);
        EXPECT_TRUE(nlohmann::json::accept(json.text)) << c.json;
    }
}

std::string hex(const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
        static constexpr char digits[] = "0123456789abcdef";
        out += digits[static_cast<unsigned char>(c) >> 4];
        out += digits[c & 0xF];
    }
    return out;
}

// The name or version field read back: the text, and the raw bytes where it was not UTF-8.
void expect_text(const nlohmann::json& object, const std::string& key, std::string_view bytes) {
    const std::string raw(bytes);
    JsonWriter scratch;
    if (json_string(scratch, raw)) {
        EXPECT_EQ(object.at(key), raw);
        EXPECT_FALSE(object.contains(key + "_hex"));
    } else {
        EXPECT_EQ(object.at(key + "_hex"), hex(raw));
        EXPECT_NE(object.at(key).get<std::string>().find(replacement), std::string::npos);
    }
}

}  // namespace
}  // namespace kp
