#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "support/capture.h"

namespace kp {
namespace {

using test::CapturedConsole;

TEST(ConsolePrint, ChangesAttributeOnlyOnChange) {
    CapturedConsole ansi(ColourMode::ansi);
    console_print(ansi.console, attr_yellow, "a\n");
    console_print(ansi.console, attr_yellow, "b\n");
    console_print(ansi.console, attr_yellow, "c\n");
    console_print(ansi.console, attr_white, "d");
    console_print(ansi.console, attr_grey, "e");
    console_restore(ansi.console);
    EXPECT_EQ(ansi.text(), "\x1b[0;93ma\nb\nc\n\x1b[0;1md\x1b[0me");

    CapturedConsole native(ColourMode::native);
    console_print(native.console, attr_yellow, "a");
    console_print(native.console, attr_yellow, "b");
    console_print(native.console, attr_red, "c");
    console_restore(native.console);
    console_restore(native.console);
    EXPECT_EQ(native.text(), "<attr 14>ab<attr 12>c<attr 7>");

    CapturedConsole off(ColourMode::off);
    console_print(off.console, attr_red, "a");
    console_restore(off.console);
    EXPECT_EQ(off.text(), "a");
}

TEST(ConsolePrint, RendersEveryAttributeAsAnsi) {
    const std::pair<u16, const char*> cases[] = {
        {7, "\x1b[0m"},     {9, "\x1b[0;94m"}, {10, "\x1b[0;92m"}, {11, "\x1b[0;96m"}, {12, "\x1b[0;91m"},
        {14, "\x1b[0;93m"}, {15, "\x1b[0;1m"}, {4, "\x1b[0;31m"},  {0, "\x1b[0;30m"},  {0x1F, "\x1b[0;1m"},
    };
    for (const auto& [attribute, sequence] : cases) {
        EXPECT_EQ(ansi_sequence(attribute), sequence) << attribute;
    }
}

TEST(ConsolePrint, FormatsI64AndLongLines) {
    CapturedConsole capture;
    console_print(capture.console, attr_grey, "[%016I64x] %I64u 100%% %5d|%s\n", std::uint64_t{0xABCDEF},
                  ~std::uint64_t{0}, -7, "x");
    const std::string long_text(5000, 'z');
    const i32 n = console_print(capture.console, attr_grey, "<%s>", long_text.c_str());
    EXPECT_EQ(n, 5002);
    EXPECT_EQ(capture.text(), "[0000000000abcdef] 18446744073709551615 100%    -7|x\n<" + long_text + ">");
}

// Output crosses the buffer's end in every way: many short lines, one line longer than
// the whole buffer, and lines that end a few bytes short of it. Nothing is lost or
// reordered, and every sink call but the last is a large block.
TEST(ConsolePrint, KeepsOrderAcrossFlushes) {
    CapturedConsole capture;
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        console_print(capture.console, attr_grey, "%5d\t%s\n", i, "name.bin");
        char line[32];
        std::snprintf(line, sizeof line, "%5d\tname.bin\n", i);
        expected += line;
    }
    const std::string huge(pending_capacity + 300, 'h');
    console_print(capture.console, attr_grey, "<%s>", huge.c_str());
    expected += "<" + huge + ">";
    for (std::size_t fill = pending_capacity - 40; fill < pending_capacity + 4; fill += 7) {
        const std::string line(fill % 1500, 'f');
        console_print(capture.console, attr_grey, "%s|%d\n", line.c_str(), static_cast<int>(fill));
        expected += line + "|" + std::to_string(fill) + "\n";
    }
    // Lines written in place, longer than the room left in the buffer: from a buffer
    // filled to 1560 bytes short of its capacity, and then as it fills.
    console_flush(capture.console);
    const std::string filler(pending_capacity - 1560, 'p');
    console_print(capture.console, attr_grey, "%s", filler.c_str());
    expected += filler;
    for (std::size_t size = 2000; size < 4000; size += 101) {
        char* out = console_line(capture.console, attr_grey, size);
        std::memset(out, 'l', size - 1);
        out[size - 1] = '\n';
        console_commit_line(capture.console, out + size);
        expected += std::string(size - 1, 'l') + "\n";
    }
    const std::string& text = capture.text();
    const auto [differs, _] = std::mismatch(text.begin(), text.end(), expected.begin(), expected.end());
    EXPECT_TRUE(text == expected) << "first difference at byte " << differs - text.begin();
    EXPECT_LE(capture.writes, expected.size() / flush_threshold + 2);
}

TEST(ConsolePrint, WorksOnAConsoleNeverSetUp) {
    ConsoleOutput console;  // zero, as before the driver runs: no sink to hand text to
    EXPECT_EQ(console_print(console, attr_red, "%s %d", "lost", 1), 6);
    console_restore(console);
    EXPECT_FALSE(console_flush(console));
}

TEST(ConsoleSetup, SeparatorFollowsWidth) {
    const std::pair<u16, std::size_t> cases[] = {{80, 79}, {132, 131}, {2, 1}, {1, 79}, {0, 79}};
    for (const auto& [width, hyphens] : cases) {
        CapturedConsole capture(ColourMode::off, false, width);
        EXPECT_EQ(capture.console.separator, std::string(hyphens, '-') + "\n") << width;
    }
}

TEST(ChooseColour, FollowsTerminalAndEnvironment) {
    ConsoleTraits pipe;
    ConsoleTraits terminal;
    terminal.terminal = true;
    ConsoleTraits console = terminal;
    console.native_attributes = true;
    struct Case {
        const ConsoleTraits& traits;
        const char* no_color;
        const char* force;
        ColourMode expected;
    };
    const Case cases[] = {
        {terminal, nullptr, nullptr, ColourMode::ansi},
        {terminal, "", nullptr, ColourMode::ansi},
        {terminal, "1", nullptr, ColourMode::off},
        {console, nullptr, nullptr, ColourMode::native},
        {console, "yes", "1", ColourMode::off},
        {pipe, nullptr, nullptr, ColourMode::off},
        {pipe, nullptr, "1", ColourMode::ansi},
        {pipe, nullptr, "0", ColourMode::off},
        {pipe, nullptr, "", ColourMode::off},
        {pipe, "1", "1", ColourMode::off},
        {pipe, "", "1", ColourMode::ansi},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(choose_colour(c.traits, c.no_color, c.force), c.expected)
            << (c.no_color ? c.no_color : "unset") << " / " << (c.force ? c.force : "unset");
    }
}

TEST(ConsoleText, EscapesControlsOnlyOnATerminal) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain name.bin", "plain name.bin"},
        {"a\x01\x1f \x7f", "a\\001\\037 \\177"},
        {"\x1b]0;t\x07\r\n\t\b\v\f", "\\033]0;t\\a\\r\\n\\t\\b\\v\\f"},
        {"csi\xc2\x9b"
         "2J",
         "csi\\302\\2332J"},  // C1 as UTF-8
        {"apc\xc2\x9f"
         "x",
         "apc\\302\\237x"},                                                // the last of them, U+009F
        {"nbsp\xc2\xa0", "nbsp\xc2\xa0"},                                  // and the first after them, U+00A0
        {"lone\x9b\x80", "lone\\233\\200"},                                // C1 bytes outside UTF-8
        {"\xc2\xa0\xe2\x82\xac\xc3\xa9", "\xc2\xa0\xe2\x82\xac\xc3\xa9"},  // NBSP, euro, e acute: text
        {"\xe9t\xe9", "\xe9t\xe9"},                                        // Latin-1 letters: shown as they are
        {"back\\slash", "back\\\\slash"},
    };
    CapturedConsole terminal(ColourMode::off, true);
    CapturedConsole pipe(ColourMode::off, false);
    for (const auto& [raw, shown] : cases) {
        EXPECT_EQ(escape_for_console(terminal.console, raw), shown) << raw;
        EXPECT_EQ(escape_for_stderr(terminal.console, raw), shown) << raw;
        EXPECT_EQ(escape_for_console(pipe.console, raw), raw);
        EXPECT_EQ(escape_for_stderr(pipe.console, raw), raw);
    }
}

}  // namespace
}  // namespace kp
