// What a second program needs of the library to show an update file as extraction would
// write it: each entry's path or refusal, whether its bytes are there, and every name in
// its lines quoted and escaped as the command line's are.
#include <gtest/gtest.h>

#include <kpupdate.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "archive_builder.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using Handle = std::unique_ptr<kp_archive, decltype(&kp_close)>;

std::string shown(const std::string& bytes, int how) {
    char* out = nullptr;
    std::size_t length = 0;
    EXPECT_EQ(kp_shown_text(bytes.data(), bytes.size(), how, &out, &length), KP_OK);
    std::string text(out, length);
    EXPECT_EQ(out[length], '\0');
    kp_free(out);
    return text;
}

// Every entry's path is where `kpupdate -a` writes it, and every refusal is its line, on
// a terminal escaped as the command line escapes it there.
TEST(LibraryEntries, PathsAndRefusalsAreExtractions) {
    const struct {
        const char* name;
        const char* path;  // null: refused
    } cases[] = {
        {"a.bin", "a.bin"},
        {"./d//b.bin", "d/b.bin"},
        {"d/e/./f.bin", "d/e/f.bin"},
        {"d/c/", nullptr},
        {"../up", nullptr},
        {"/abs", nullptr},
        {"c:x", nullptr},
        {"x/../\x1b]0;owned\x07", nullptr},
        {"", nullptr},
    };
    build::Archive plan;
    for (const auto& c : cases) {
        const auto index = static_cast<std::uint32_t>(plan.entries.size());
        plan.entries.push_back({c.name, index, 10 + index, {index, 0, 0, 0}, c.name});
    }
    test::TempDir dir;
    test::write_file(dir.file("a.update"), build::bytes(plan));
    std::filesystem::create_directory(dir.file("out"));
    const test::ToolRun piped = test::run_tool({"-qa", "-C", dir.file("out"), dir.file("a.update")});
    test::ToolOptions on_terminal;
    on_terminal.stderr_terminal_columns = test::posix_child_controls ? 80 : 0;
    std::filesystem::create_directory(dir.file("again"));
    const test::ToolRun shown_on_terminal =
        test::run_tool({"-qa", "-C", dir.file("again"), dir.file("a.update")}, on_terminal);

    const Handle handle(kp_new(), kp_close);
    kp_archive* archive = handle.get();
    ASSERT_EQ(kp_open_path(archive, dir.file("a.update").c_str()), KP_OK);
    for (std::uint32_t position = 0; position < kp_entry_count(archive); ++position) {
        const auto& c = cases[position];
        SCOPED_TRACE(shown(c.name, KP_SHOW_TERMINAL));
        const char* path = "unset";
        std::size_t length = 99;
        const int status = kp_entry_path(archive, position, &path, &length);
        if (c.path != nullptr) {
            ASSERT_EQ(status, KP_OK) << kp_reason(archive);
            EXPECT_EQ(std::string(path, length), c.path);
            EXPECT_EQ(path[length], '\0');
            EXPECT_EQ(test::read_file(dir.file("out/") + path).substr(0, std::strlen(c.name)), c.name);
            continue;
        }
        EXPECT_EQ(status, KP_ERROR_FORMAT);
        EXPECT_EQ(path, nullptr);
        EXPECT_EQ(length, 0u);
        const std::string reason = kp_reason(archive);
        EXPECT_EQ(reason.rfind(shown(c.name, KP_SHOW_QUOTED) + ": ", 0), 0u) << "a reason begins with the name";
        EXPECT_NE(piped.err.find("kpupdate: " + reason + "\n"), std::string::npos) << piped.err;
        if (test::posix_child_controls) {  // a pseudo-terminal for its standard error
            EXPECT_NE(shown_on_terminal.err.find("kpupdate: " + shown(reason, KP_SHOW_TERMINAL) + "\n"),
                      std::string::npos)
                << shown_on_terminal.err;
        }
    }
    const char* path = nullptr;
    EXPECT_EQ(kp_entry_path(archive, 9, &path, nullptr), KP_ERROR_ARGUMENT);
    EXPECT_EQ(kp_entry_path(archive, 0, nullptr, nullptr), KP_ERROR_ARGUMENT);
}

TEST(LibraryEntries, ShowsTextAsTheCommandLineDoes) {
    const struct {
        std::string bytes;
        int how;
        std::string expected;
    } cases[] = {
        {"plain.bin", KP_SHOW_QUOTED | KP_SHOW_TERMINAL, "plain.bin"},
        {"a b", KP_SHOW_QUOTED, "'a b'"},
        {"-x", KP_SHOW_QUOTED, "'-x'"},
        {"it's", KP_SHOW_QUOTED, "'it'\\''s'"},
        {"it's", KP_SHOW_QUOTED | KP_SHOW_TERMINAL, "'it'\\\\''s'"},  // a backslash reads back one way
        {"\x1b]0;t\x07", 0, "\x1b]0;t\x07"},                          // into a pipe: exact
        {"\x1b]0;t\x07", KP_SHOW_TERMINAL, "\\033]0;t\\a"},
        {"csi\xc2\x9b"
         "31m",
         KP_SHOW_TERMINAL, "csi\\302\\23331m"},
        {"lone\x9b", KP_SHOW_TERMINAL, "lone\\233"},
        {"caf\xc3\xa9", KP_SHOW_TERMINAL, "caf\xc3\xa9"},
        {std::string("nul\0x", 5), 0, std::string("nul\0x", 5)},
        {std::string("nul\0x", 5), KP_SHOW_TERMINAL, "nul\\000x"},
        {"", KP_SHOW_QUOTED, "''"},
    };
    for (const auto& c : cases) EXPECT_EQ(shown(c.bytes, c.how), c.expected) << shown(c.bytes, KP_SHOW_TERMINAL);
    char* out = nullptr;
    EXPECT_EQ(kp_shown_text("x", 1, 4, &out, nullptr), KP_ERROR_ARGUMENT);
    EXPECT_EQ(kp_shown_text(nullptr, 1, 0, &out, nullptr), KP_ERROR_ARGUMENT);
    EXPECT_EQ(kp_shown_text("x", 1, 0, nullptr, nullptr), KP_ERROR_ARGUMENT);
    EXPECT_EQ(out, nullptr);
}

#ifndef _WIN32
// A file its caller opened and looked at is named as the caller names it, and its
// entries' bytes are checked as they would be read.
TEST(LibraryEntries, ChecksBytesOfAFileOpenedByItsCaller) {
    build::Archive plan;
    plan.entries = {{"a b", 1, 700, {1, 0, 0, 0}, "first"}, {"last", 2, 300, {2, 0, 0, 0}, "second"}};
    const std::string whole = build::bytes(plan);  // "last" lies from 1536, its chunk to 2048
    test::TempDir dir;
    const struct {
        std::size_t length;
        int own, padded;     // kp_check_entry's status for "last"
        const char* reason;  // for the padded chunk
    } cases[] = {
        {2048, KP_OK, KP_OK, ""},
        {1900, KP_OK, KP_ERROR_FORMAT, "last: its chunk reaches 148 bytes past the end of the update file"},
        {1700, KP_ERROR_FORMAT, KP_ERROR_FORMAT, "last: its chunk reaches 348 bytes past the end of the update file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        test::write_file(dir.file("a.update"), whole.substr(0, c.length));
        const int fd = ::open(dir.file("a.update").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const Handle handle(kp_new(), kp_close);
        kp_archive* archive = handle.get();
        ASSERT_EQ(kp_open_named_fd(archive, fd, "my file"), KP_OK) << kp_reason(archive);
        ::close(fd);  // the library holds a descriptor of its own
        EXPECT_EQ(kp_check_entry(archive, 1, 0), c.own) << kp_reason(archive);
        EXPECT_EQ(kp_check_entry(archive, 1, 1), c.padded);
        EXPECT_EQ(std::string(kp_reason(archive)), c.reason);
        EXPECT_EQ(kp_check_entry(archive, 0, 1), KP_OK) << "what lies before the cut is there";
        char buffer[1024];
        std::size_t got = 0;
        EXPECT_EQ(kp_read(archive, 1, 1, 0, buffer, sizeof buffer, &got), c.padded) << "as a read finds it";
        EXPECT_EQ(std::string(kp_reason(archive)), c.reason);
        char* document = nullptr;
        ASSERT_EQ(kp_json(archive, &document, nullptr), KP_OK);
        EXPECT_NE(std::string(document).find("\"file\": \"my file\""), std::string::npos) << document;
        kp_free(document);
    }
    test::write_file(dir.file("none.update"), "no update file");
    const int fd = ::open(dir.file("none.update").c_str(), O_RDONLY | O_CLOEXEC);
    const Handle handle(kp_new(), kp_close);
    EXPECT_EQ(kp_open_named_fd(handle.get(), fd, "my file"), KP_ERROR_FORMAT);
    EXPECT_EQ(std::string(kp_reason(handle.get())).rfind("'my file': not an update file: ", 0), 0u)
        << kp_reason(handle.get());
    EXPECT_EQ(kp_open_named_fd(handle.get(), fd, nullptr), KP_ERROR_ARGUMENT);
    ::close(fd);
}
#endif

}  // namespace
}  // namespace kp
