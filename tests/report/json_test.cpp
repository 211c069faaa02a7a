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

}  // namespace
}  // namespace kp
