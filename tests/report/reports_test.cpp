#include <gtest/gtest.h>

#include <sstream>

#include "archive_builder.h"
#include "report/reports.h"
#include "support/capture.h"

namespace kp {
namespace {

// The three reports on a loaded archive; `capture` holds only what they printed.
struct Reported : test::LoadedArchive {
    explicit Reported(const build::Archive& plan, bool terminal = false)
        : LoadedArchive(build::bytes(plan), ColourMode::off, terminal) {
        capture.text();
        capture.out.clear();
        print_version_summary(capture.console, archive);
        print_directory_listing(capture.console, archive);
        print_signature_groups(capture.console, archive);
    }
};

TEST(Reports, PrintNothingAfterAFailedLoad) {
    build::Archive archive;
    archive.entries = {{"a.bin", 0, 10, {1, 0, 0, 0}, ""}, {"b.bin", 1, 10, {1, 0, 0, 0}, ""}};
    archive.total_blocks = 9;
    Reported reported(archive);
    EXPECT_EQ(reported.result, load_malformed);
    EXPECT_EQ(reported.capture.text(), "");
}

TEST(Reports, MismatchNameCannotDriveATerminal) {
    build::Archive archive;
    archive.entries = {{"x", 1, 0, {7, 1, 0, 0}, ""}, {"e\x1b[2J\x7f.bin", 2, 0, {7, 2, 0, 0}, ""}};
    const std::string bytes = build::bytes(archive);
    for (const bool terminal : {true, false}) {
        test::LoadedArchive loaded(bytes, ColourMode::off, terminal);  // prints the mismatches
        ASSERT_EQ(loaded.result, 2);
        EXPECT_EQ(loaded.capture.text(), terminal ? "2nd data mismatch at (2) e\\033[2J\\177.bin.\n"
                                                  : "2nd data mismatch at (2) e\x1b[2J\x7f.bin.\n");
    }
}

TEST(Reports, ShowU32FieldsAsSigned) {
    build::Archive archive;
    archive.with_data = false;
    archive.entries = {{"big", 0xFFFFFFFF, 0x80000000, {1, 0, 0, 0}, ""}};
    Reported reported(archive);
    ASSERT_EQ(reported.result, 1);
    const std::string& out = reported.capture.text();
    EXPECT_NE(out.find("-2147483136  bytes in total.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("   -1\t-2147483648\t00000200\tbig\n"), std::string::npos) << out;
    EXPECT_NE(out.find("-2147483648 [80000000] used archive-size"), std::string::npos) << out;
}

TEST(Reports, ListOnlySharedSignaturesInOrder) {
    build::Archive archive;
    archive.entries = {
        {"high-1", 1, 0, {0xF000000000000000, 0xA, 0xB, 0xC}, ""},
        {"single", 2, 0, {0x0000000000000005, 0, 0, 0}, ""},
        {"low-1", 3, 0, {0x0000000000000002, 1, 2, 3}, ""},
        {"high-rejected", 4, 0, {0xF000000000000000, 0xD, 0, 0}, ""},
        {"high-2", 5, 0, {0xF000000000000000, 0xA, 0xE, 0xF}, ""},
        {"low-2", 6, 0, {0x0000000000000002, 1, 2, 3}, ""},
    };
    Reported reported(archive);
    ASSERT_EQ(reported.result, 6);
    const std::string& out = reported.capture.text();
    const std::string groups = out.substr(out.find("\n--- Files"));
    EXPECT_EQ(groups,
              "\n--- Files with common data signatures: ---\n"
              "\n[0000000000000002]\n"
              "0000000000000001:0000000000000002:0000000000000003:low-1\n"
              "0000000000000001:0000000000000002:0000000000000003:low-2\n"
              "\n[f000000000000000]\n"
              "000000000000000a:000000000000000b:000000000000000c:high-1\n"
              "000000000000000a:000000000000000e:000000000000000f:high-2\n");
    EXPECT_NE(out.find("    4\t       0\t00000400\thigh-rejected\n"), std::string::npos);

    build::Archive distinct;
    distinct.entries = {{"a", 0, 0, {1, 0, 0, 0}, ""}, {"b", 1, 0, {2, 0, 0, 0}, ""}};
    Reported alone(distinct);
    const std::string& title_only = alone.capture.text();
    EXPECT_EQ(title_only.substr(title_only.find("\n--- Files")), "\n--- Files with common data signatures: ---\n");
}

// Names reach every report whole and, on a terminal only, with control bytes shown as
// '?': a name that fills its 88 bytes, one that stops at its NUL, one with escapes.
TEST(Reports, ShowNamesWholeAndSafe) {
    const std::string full(88, 'n');
    build::Archive archive;
    archive.version = "v\x1b[31m1";
    archive.entries = {{full + "cut", 1, 0, {7, 0, 1, 0}, ""},
                       {"e\x1b[2J\x7f.bin", 2, 0, {7, 0, 2, 0}, ""},
                       {"short.bin", 3, 0, {7, 0, 3, 0}, ""}};
    for (const bool terminal : {false, true}) {
        SCOPED_TRACE(terminal);
        Reported reported(archive, terminal);
        ASSERT_EQ(reported.result, 3);
        const std::string escaped = terminal ? "e\\033[2J\\177.bin" : "e\x1b[2J\x7f.bin";
        const std::string& out = reported.capture.text();
        EXPECT_TRUE(out.starts_with("firmware update version is\n" +
                                    std::string(terminal ? "v\\033[31m1" : "v\x1b[31m1") + "\n"))
            << out;
        const std::string lines[] = {
            "    1\t       0\t00000200\t" + full + "\n",
            "    2\t       0\t00000200\t" + escaped + "\n",
            "    3\t       0\t00000200\tshort.bin\n",
            "0000000000000000:0000000000000001:0000000000000000:" + full + "\n",
            "0000000000000000:0000000000000002:0000000000000000:" + escaped + "\n",
            "0000000000000000:0000000000000003:0000000000000000:short.bin\n",
        };
        for (const std::string& line : lines) {
            EXPECT_NE(out.find(line), std::string::npos) << line;
        }
    }
}

}  // namespace
}  // namespace kp
