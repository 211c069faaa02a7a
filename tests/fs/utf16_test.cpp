#include <gtest/gtest.h>

#include <array>
#include <string>

#include "fs/utf16.h"

namespace kp {
namespace {

struct Converted {
    bool ok;
    std::string text;  // what was written up to the NUL
};

Converted convert(std::u16string_view units, std::size_t capacity = 64) {
    std::array<char, 65> buffer;
    buffer.fill('#');
    buffer.back() = '\0';
    const char* result = utf16_to_utf8(buffer.data(), capacity, units.data(), units.data() + units.size());
    return {result == buffer.data(), std::string(buffer.data())};
}

TEST(Utf16ToUtf8, EncodesEachLengthAndRefusesBrokenSurrogates) {
    const struct {
        std::u16string units;
        bool ok;
        std::string text;
    } cases[] = {
        {u"", true, ""},
        {u"\u007F", true, "\x7F"},
        {u"\u0080", true, "\xC2\x80"},
        {u"\u07FF", true, "\xDF\xBF"},
        {u"\u0800", true, "\xE0\xA0\x80"},
        {u"\uFFFF", true, "\xEF\xBF\xBF"},
        {u"a\U00010000", true, "a\xF0\x90\x80\x80"},
        {u"\U0010FFFF", true, "\xF4\x8F\xBF\xBF"},
        {std::u16string{u'a', char16_t(0xDC00), u'b'}, false, "a"},             // lone low surrogate
        {std::u16string{u'a', char16_t(0xD800)}, false, "a"},                   // high surrogate at the end
        {std::u16string{u'a', char16_t(0xD800), u'b'}, false, "a"},             // followed by a non-surrogate
        {std::u16string{char16_t(0xD800), char16_t(0xD800), u'b'}, false, ""},  // by another high one
    };
    for (const auto& c : cases) {
        const Converted got = convert(c.units);
        EXPECT_EQ(got.ok, c.ok) << c.text;
        EXPECT_EQ(got.text, c.text);
    }
}

// A name or a message is shown whole, each broken surrogate as U+FFFD.
TEST(Utf16ToUtf8, ShowsABrokenSurrogateAsTheReplacementCharacter) {
    const std::pair<std::u16string, std::string> cases[] = {
        {u"a\U00010000b",
         "a\xF0\x90\x80\x80"
         "b"},
        {std::u16string{u'a', char16_t(0xDC00), u'b'},
         "a\xEF\xBF\xBD"
         "b"},
        {std::u16string{char16_t(0xD800), char16_t(0xD800), char16_t(0xDC00)}, "\xEF\xBF\xBD\xF0\x90\x80\x80"},
        {std::u16string{u'a', char16_t(0xD800)}, "a\xEF\xBF\xBD"},
    };
    for (const auto& [units, text] : cases) EXPECT_EQ(utf16_to_utf8(units.data(), units.data() + units.size()), text);
}

TEST(Utf16ToUtf8, KeepsOneByteForTheTerminator) {
    EXPECT_TRUE(convert(u"abc", 4).ok);
    EXPECT_EQ(convert(u"abcd", 4).text, "abc");
    EXPECT_FALSE(convert(u"abcd", 4).ok);
    EXPECT_FALSE(convert(u"\u00E9", 2).ok);  // two bytes do not fit in one
    EXPECT_EQ(convert(u"\u00E9", 2).text, "");
    std::array<char, 4> untouched = {'#', '#', '#', '\0'};
    const char16_t x = u'x';
    EXPECT_EQ(utf16_to_utf8(untouched.data(), 0, &x, &x + 1), nullptr);
    EXPECT_EQ(std::string(untouched.data()), "###");  // not even a NUL written
    // 3 bytes per unit plus the NUL always fits: the sizing rule for arguments.
    EXPECT_TRUE(convert(u"\uFFFF\uFFFF\U00010000", 3 * 4 + 1).ok);
}

}  // namespace
}  // namespace kp
