#include "console/format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>

#include "support/capture.h"

namespace kp {
namespace {

using test::CapturedConsole;

// console_print formats common conversions itself; it must agree with the C library.
TEST(ConsolePrint, AgreesWithSnprintf) {
    const long long big = -9223372036854775807LL - 1;
    struct Case {
        const char* ours;
        const char* libc;  // the same format without I64
        std::function<i32(ConsoleOutput&, const char*)> print;
        std::function<int(char*, std::size_t, const char*)> reference;
    };
#define KP_CASE(ours, libc, ...)                                                                          \
    Case {                                                                                                \
        ours, libc, [&](ConsoleOutput& c, const char* f) { return console_print(c, 7, f, __VA_ARGS__); }, \
            [&](char* b, std::size_t n, const char* f) { return std::snprintf(b, n, f, __VA_ARGS__); }    \
    }
    const Case cases[] = {
        KP_CASE("%5d|%-5d|%05d|%d", "%5d|%-5d|%05d|%d", 42, -42, -42, -2147483647 - 1),
        KP_CASE("%8d\t%08x\t%X\t%u", "%8d\t%08x\t%X\t%u", 123456789, 0xBEEFu, 0xBEEFu, 4294967295u),
        KP_CASE("%016I64x:%I64d:%lld", "%016llx:%lld:%lld", 0x1234ULL, big, 7LL),
        KP_CASE("%-4s|%4s|%c|%3c|%%|%ld", "%-4s|%4s|%c|%3c|%%|%ld", "ab", "abcdef", 'x', 'y', -5L),
        KP_CASE("%.3s|%+d|%#x|%5.1f", "%.3s|%+d|%#x|%5.1f", "abcdef", 5, 255u, 2.25),  // the library's path
        KP_CASE("%08.3I64x|%lu", "%08.3llx|%lu", 0xABCULL, 9UL),
        // Every digit count, and text of every short length against its field width.
        KP_CASE("%d|%d|%d|%d|%d|%u|%d|%d|%I64u|%I64u", "%d|%d|%d|%d|%d|%u|%d|%d|%llu|%llu", 0, 9, 10, 99, 100,
                4294967295u, -1000000000, 123456, 10000000000000000000ULL, 9999999999999999999ULL),
        KP_CASE("%u|%u|%u|%u|%u|%x|%x|%X|%4x|%-4x|", "%u|%u|%u|%u|%u|%x|%x|%X|%4x|%-4x|", 999u, 1000u, 9999u, 10000u,
                99999u, 0u, 0x10u, 0xFFFFFFFFu, 0xFu, 0u),
        KP_CASE("%8s|%8s|%-8s|%8s|%8s|%s|%s", "%8s|%8s|%-8s|%8s|%8s|%s|%s", "", "a", "abc", "abcd", "abcdefg",
                "abcdefgh", "abcdefghijklmnopq"),
        KP_CASE("%20s|%017d|%-17x|", "%20s|%017d|%-17x|", "abcdefghijklmnop", -12, 0xFFu),
    };
#undef KP_CASE
    for (const Case& c : cases) {
        CapturedConsole capture;
        const i32 n = c.print(capture.console, c.ours);
        char expected[256];
        ASSERT_EQ(n, c.reference(expected, sizeof expected, c.libc)) << c.ours;
        EXPECT_EQ(capture.text(), expected) << c.ours;
    }
}

}  // namespace
}  // namespace kp

namespace kp {
namespace {

// format_simple into a buffer of `room` bytes: the text, or "<null>" when it gave up.
std::string formatted(std::size_t room, const char* format, ...) {
    std::string buffer(room, '#');
    std::va_list args;
    va_start(args, format);
    const char* end = format_simple(buffer.data(), buffer.data() + room, format, args);
    va_end(args);
    return end == nullptr ? "<null>" : buffer.substr(0, static_cast<std::size_t>(end - buffer.data()));
}

// The edges where the formatter hands over to the C library: a field that ends exactly at
// the buffer's end fits, one byte more does not, and conversions outside the subset refuse.
TEST(FormatSimple, StopsAtTheBufferEndAndAtForeignConversions) {
    const struct {
        std::size_t room;
        const char* format;
        int value;
        const char* expected;
    } cases[] = {
        {6, "ab%4d", 7, "ab   7"},
        {5, "ab%4d", 7, "<null>"},
        {3, "ab%d", -1, "<null>"},
        {4, "ab%d", -1, "ab-1"},
        {2, "%%%d", 5, "%5"},
        {1, "%%%d", 5, "<null>"},
        {9, "%+d", 5, "<null>"},
        {9, "%.2d", 5, "<null>"},
        {9, "%*d", 5, "<null>"},
        {9, "%5000d", 5, "<null>"},
        {0, "", 0, ""},
        {9, "%-03d|", 5, "5  |"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatted(c.room, c.format, c.value), c.expected) << c.format << " in " << c.room;
    }
    EXPECT_EQ(standard_format("%016I64x|%I64d|%s|%%I64"), "%016llx|%lld|%s|%%I64");
}

}  // namespace
}  // namespace kp

namespace kp {
namespace {

// The listings' row fields, written without a format, against the C library at the
// widths the rows use and past them: every digit count, signs, and the extremes.
TEST(RowFields, AgreeWithSnprintf) {
    const long long decimals[] = {0,     7,      -7,         99999,           100000,
                                  -9999, -10000, 2147483647, -2147483647 - 1, -9223372036854775807LL - 1};
    const unsigned long long hexes[] = {0, 0xF, 0x10, 0x9c400, 0xFFFFFFFF, 0x100000000ULL, ~0ULL};
    for (const unsigned char width : {0, 1, 5, 8, 16, 17, 21, 30}) {
        // Each may write anywhere in its room of 21 bytes or `width`, and never past it.
        const std::size_t room = std::max<std::size_t>(21, width);
        char ours[64];
        char expected[64];
        const auto field = [&](const char* end) {
            EXPECT_EQ(std::string(ours + room, sizeof ours - room), std::string(sizeof ours - room, '#'));
            return std::string(static_cast<const char*>(ours), end);
        };
        for (const long long value : decimals) {
            std::memset(ours, '#', sizeof ours);
            const std::string text = field(put_decimal(ours, value, width));
            std::snprintf(expected, sizeof expected, "%*lld", width, value);
            EXPECT_EQ(text, expected) << value << " in " << int{width};
        }
        for (const unsigned long long value : hexes) {
            std::memset(ours, '#', sizeof ours);
            const std::string text = field(put_hex(ours, value, width));
            std::snprintf(expected, sizeof expected, "%0*llx", width, value);
            EXPECT_EQ(text, expected) << value << " in " << int{width};
        }
    }
}

}  // namespace
}  // namespace kp
