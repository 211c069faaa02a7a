// The --json document through the binary, as a script reads it: every field as the
// loader has it, every padding that is whole.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "archive/update_archive.h"
#include "archive_builder.h"
#include "report/json.h"
#include "support/capture.h"
#include "support/run_tool.h"

namespace kp {
namespace {

const std::string replacement = "\xEF\xBF\xBD";

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

// Through the binary, as a script would read it: every field agrees with the archive the
// loader builds from the same bytes.
TEST(JsonReport, AgreesFieldByFieldWithTheLoadedArchive) {
    build::Archive plan = build::sample();
    plan.version = "V\xFF\xFE ctl\x01 \"quoted\"";
    plan.entries[0].name = "\xC3\xBC-utf8.bin";
    plan.entries[1].name = "\xFC-ansi.bin";
    plan.entries[2].name = std::string(88, 'x');  // no NUL: the name ends with its field
    plan.entries[3].index = 0xFFFFFFFF;
    const std::string bytes = build::bytes(plan);
    test::TempDir dir;
    test::write_file(dir.file("a.update"), bytes);
    test::ToolOptions options;
    options.cwd = dir.path();
    options.terminal_columns = test::posix_child_controls ? 80 : 0;  // no escape sequence even on a terminal
    const test::ToolRun run = test::run_tool({"--json", "a.update"}, options);
    ASSERT_EQ(run.status, 0);
    ASSERT_TRUE(run.out.ends_with("}\n"));
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    const nlohmann::json document = nlohmann::json::parse(run.out);

    const test::LoadedArchive loaded(bytes);
    const UpdateArchive& archive = loaded.archive;
    EXPECT_EQ(document.at("file"), "a.update");
    expect_text(document, "version", record_text(archive.header.record.name));
    EXPECT_EQ(document.at("file_count"), archive.entries.size());
    EXPECT_EQ(document.at("data_start"), archive.data_start);
    EXPECT_EQ(document.at("total_size"), archive.data_start + archive.chunk_sum);
    EXPECT_EQ(document.at("used_size"), archive.used_size);
    EXPECT_EQ(document.at("chunk_sum"), archive.chunk_sum);
    ASSERT_EQ(document.at("entries").size(), archive.entries.size());
    for (std::size_t position = 0; position < archive.entries.size(); ++position) {
        const nlohmann::json& entry = document.at("entries")[position];
        const EntryRecord& expected = archive.entries[position];
        EXPECT_EQ(entry.at("position"), position);
        EXPECT_EQ(entry.at("index"), expected.record.index);
        EXPECT_EQ(entry.at("size"), expected.record.size);
        EXPECT_EQ(entry.at("offset"), expected.data_offset);
        EXPECT_EQ(entry.at("chunk_size"), expected.chunk_size);
        expect_text(entry, "name", record_text(expected.record.name));
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(std::stoull(entry.at("signatures")[i].get<std::string>(), nullptr, 16),
                      expected.record.signature[i]);
        }
    }
    std::vector<std::pair<u64, std::vector<u32>>> groups;
    for (const SignatureGroup& group : archive.groups)
        groups.push_back({group.signature, {group.positions.begin(), group.positions.end()}});
    ASSERT_EQ(document.at("groups").size(), groups.size());
    for (std::size_t i = 0; i < groups.size(); ++i) {
        EXPECT_EQ(std::stoull(document.at("groups")[i].at("signature").get<std::string>(), nullptr, 16),
                  groups[i].first);
        EXPECT_EQ(document.at("groups")[i].at("positions").get<std::vector<u32>>(), groups[i].second);
    }
    std::vector<u32> mismatches;
    for (const nlohmann::json& mismatch : document.at("mismatches")) mismatches.push_back(mismatch.at("position"));
    EXPECT_EQ(mismatches, mismatched_positions(archive));
    EXPECT_EQ(mismatches, std::vector<u32>{4});
}

// Each entry's padding is in the document where it is not zero, from a file and from a
// pipe alike, also where the run moves large chunks from the pipe: and only where all of
// it is there, never a cut padding as if it were whole.
TEST(JsonReport, CarriesEveryPaddingThatIsWhole) {
    build::Archive plan;
    plan.entries = {{"big.bin", 1, 700000, {1, 0, 0, 0}, std::string(700000, 'b')},  // past the stream's buffer
                    {"small.bin", 2, 10, {2, 0, 0, 0}, "0123456789"}};
    std::string bytes = build::bytes(plan);
    const std::size_t big_end = 512 + 700000;
    bytes[big_end] = 'P';  // big.bin's padding
    bytes[big_end + 100] = 'Q';
    const std::size_t small_end = 512 + build::chunk_of(700000) + 10;
    bytes[small_end + 1] = 'S';  // small.bin's
    test::TempDir dir;
    test::write_file(dir.file("a.update"), bytes);
    std::filesystem::create_directory(dir.file("out"));
    const auto paddings = [](const std::string& document) {
        std::string found;
        const nlohmann::json parsed = nlohmann::json::parse(document);
        for (const auto& entry : parsed.at("entries")) {
            found += entry.value("padding_hex", std::string("-")) + " ";
        }
        return found;
    };
    const std::string expected = "50" + std::string(198, '0') + "51 0053 ";
    test::ToolOptions piped;
    piped.cwd = dir.path();
    piped.stdin_bytes = bytes;
    EXPECT_EQ(paddings(test::run_tool({"--json", dir.file("a.update")}).out), expected);
    EXPECT_EQ(paddings(test::run_tool({"--json", "-"}, piped).out), expected);
    EXPECT_EQ(paddings(test::run_tool({"--json", "-a", "--padded", "-C", "out", "-"}, piped).out), expected);
    // Cut inside small.bin's padding: its bytes are there, its padding is not all there.
    test::write_file(dir.file("cut.update"), bytes.substr(0, small_end + 5));
    EXPECT_EQ(paddings(test::run_tool({"--json", dir.file("cut.update")}).out), "50" + std::string(198, '0') + "51 - ");
    piped.stdin_bytes = bytes.substr(0, small_end + 5);
    EXPECT_EQ(paddings(test::run_tool({"--json", "-"}, piped).out), "50" + std::string(198, '0') + "51 - ");
}

}  // namespace
}  // namespace kp
