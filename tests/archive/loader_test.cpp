#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <type_traits>
#include <utility>

#include "archive/stream_pieces.h"
#include "archive/update_archive.h"
#include "archive_builder.h"
#include "support/capture.h"

namespace kp {
namespace {

using build::Archive;
using build::Entry;

using Loaded = test::LoadedArchive;
using test::Pieces;
using test::stream_of;

Archive with_sizes(std::vector<u32> sizes) {
    Archive archive;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        archive.entries.push_back({"f" + std::to_string(i), static_cast<u32>(i), sizes[i], {i + 1, 0, 0, 0}, ""});
    }
    return archive;
}

Archive with_count(u32 count) {
    Archive archive = with_sizes(std::vector<u32>(count, 0));
    archive.with_data = false;
    return archive;
}

struct LayoutCase {
    const char* what;
    Archive archive;
    i32 result;
    u32 data_start;
    std::vector<u32> offsets;
};

TEST(LoadArchive, DerivesLayoutAndChecksSize) {
    Archive inconsistent = with_sizes({1});
    inconsistent.total_blocks = 3;
    Archive count_zero = with_sizes({});
    Archive count_too_many = with_count(5001);
    Archive wraps = with_sizes({0xFFFFFE00u, 0x400});  // chunk sum 2^32 + 512
    wraps.with_data = false;
    const LayoutCase cases[] = {
        {"one byte", with_sizes({1}), 1, 512, {512}},
        {"four entries start inside the directory", with_sizes({1, 512, 513, 0}), 4, 512, {512, 1024, 1536, 2560}},
        {"five entries", with_sizes({1, 1, 1, 1, 1}), 5, 1024, {1024, 1536, 2048, 2560, 3072}},
        {"size 0 shares its offset", with_sizes({0, 1000}), 2, 512, {512, 512}},
        {"sums wrap at 2^32", wraps, 2, 512, {512, 512 + 0xFFFFFE00u}},
        {"largest count", with_count(5000), 5000, 1250 * 512, {}},
        {"size disagreement", inconsistent, load_malformed, 512, {512}},
        {"count 0", count_zero, load_malformed, 0, {}},
        {"count 5001", count_too_many, load_malformed, 0, {}},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.what);
        Loaded loaded(build::bytes(c.archive));
        EXPECT_EQ(loaded.result, c.result);
        EXPECT_EQ(loaded.archive.loaded, c.result > 0);
        EXPECT_EQ(loaded.archive.data_start, c.data_start);
        for (std::size_t i = 0; i < c.offsets.size(); ++i) {
            EXPECT_EQ(loaded.archive.entries.at(i).data_offset, c.offsets[i]) << "entry " << i;
        }
    }
}

TEST(LoadArchive, SumsWrapLikeTheFormat) {
    Archive archive = with_sizes({0xFFFFFE00u, 0x400});
    archive.with_data = false;
    Loaded loaded(build::bytes(archive));
    ASSERT_EQ(loaded.result, 2);
    EXPECT_EQ(loaded.archive.used_size, 0x200u);
    EXPECT_EQ(loaded.archive.chunk_sum, 0x200u);
    EXPECT_EQ(loaded.archive.header.record.size, 2u);
    EXPECT_EQ(archive_end(loaded.archive), 0x200 + 0xFFFFFE00ull + 0x400);  // where 64 bits do not wrap
}

TEST(LoadArchive, RejectsShortInput) {
    const std::string whole = build::bytes(with_sizes({10, 20, 30}));
    Loaded short_header(whole.substr(0, 100));
    EXPECT_EQ(short_header.result, load_malformed);

    // Ends inside the third record: the first two were read, the third is still empty.
    Loaded short_directory(whole.substr(0, 128 * 3 + 60));
    EXPECT_EQ(short_directory.result, load_malformed);
    EXPECT_FALSE(short_directory.archive.loaded);
    ASSERT_EQ(short_directory.archive.entries.size(), 3u);
    EXPECT_EQ(short_directory.archive.entries[1].record.size, 20u);
    EXPECT_EQ(short_directory.archive.entries[2].record.size, 0u);
    EXPECT_EQ(short_directory.archive.chunk_sum, 1024u);

    // A model loaded again holds the second file's entries, groups and mismatches only,
    // however many the first had.
    Archive grouped = with_sizes({40, 50, 60, 70, 80});
    grouped.entries[0].signature = grouped.entries[1].signature = {5, 6, 0, 0};
    grouped.entries[2].signature = grouped.entries[3].signature = {3, 1, 0, 0};
    grouped.entries[4].signature = {9, 9, 0, 0};
    Archive mismatching = with_sizes({10, 20, 30, 40, 50});
    mismatching.entries[0].signature = {7, 9, 0, 0};
    mismatching.entries[1].signature = {7, 8, 0, 0};
    mismatching.entries[2].signature = mismatching.entries[3].signature = {4, 1, 0, 0};
    for (const Archive* file : {&mismatching, &grouped}) {
        std::istringstream in(build::bytes(*file));
        EXPECT_EQ(load_archive(short_directory.archive, in), static_cast<i32>(file->entries.size()));
    }
    const UpdateArchive& reloaded = short_directory.archive;
    ASSERT_EQ(reloaded.entries.size(), 5u);
    EXPECT_EQ(reloaded.entries[1].record.size, 50u);
    EXPECT_EQ(archive_end(reloaded), u64{2 * 512 + 5 * 512});  // data from the third block
    ASSERT_EQ(reloaded.groups.size(), 2u);
    const auto positions = [&](std::size_t group) {
        return std::vector<u32>(reloaded.groups[group].positions.begin(), reloaded.groups[group].positions.end());
    };
    EXPECT_EQ(reloaded.groups[0].signature, 3u);
    EXPECT_EQ(positions(0), (std::vector<u32>{2, 3}));
    EXPECT_EQ(reloaded.groups[1].signature, 5u);
    EXPECT_EQ(positions(1), (std::vector<u32>{0, 1}));
    EXPECT_TRUE(reloaded.mismatched.empty());
}

TEST(LoadArchive, TextFieldsStopAtTheirEnd) {
    const std::string long_name(100, 'n');
    Archive archive;
    archive.version = std::string(88, 'v');
    archive.entries = {{"x", 1, 0, {7, 1, 0, 0}, ""}, {long_name, 2, 0, {7, 2, 0, 0}, ""}};
    Loaded loaded(build::bytes(archive));
    ASSERT_EQ(loaded.result, 2);
    EXPECT_EQ(record_text(loaded.archive.header.record.name), std::string(88, 'v'));
    EXPECT_EQ(loaded.capture.text(), "2nd data mismatch at (2) " + std::string(88, 'n') + ".\n");
}

// The first bytes of a file that is no update file say what it is, where they are the
// mark of a format people mistake for one; anything else is unknown.
TEST(FormatOf, NamesWhatAFileIsInstead) {
    using Format = LoadProblem::Format;
    std::string program(0x48, '\0');
    program.replace(0, 2, "MZ");
    program[0x3C] = 0x40;
    program.replace(0x40, 4, std::string("PE\0\0", 4));
    std::string tar(512, '\0');
    tar.replace(257, 5, "ustar");
    const std::pair<std::string, Format> cases[] = {
        {"\x1f\x8b\x08rest", Format::gzip},
        {std::string("\xfd"
                     "7zXZ\0",
                     6),
         Format::xz},
        {"\x28\xb5\x2f\xfd", Format::zstd},
        {"BZh91AY&SY", Format::bzip2},
        {"BZhx", Format::unknown},
        {"PK\x03\x04", Format::zip},
        {"PK\x05\x06", Format::zip},
        {"7z\xbc\xaf\x27\x1c", Format::seven_zip},
        {"\x7f"
         "ELF\x02",
         Format::elf},
        {program, Format::windows_program},
        {"MZ firmware 1.0" + std::string(100, '\0'), Format::unknown},  // a version text, not a program
        {tar, Format::tar},
        {"\x1f\x8b", Format::unknown},
        {"", Format::unknown},
    };
    for (const auto& [bytes, format] : cases) {
        EXPECT_EQ(format_of(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()), format) << bytes;
    }
}

// A stream passes its first bytes while the load reads a long directory on; the name of
// what the bytes are must not depend on how the pipe happened to hand them over.
TEST(FormatOf, IsTheSameFromAStreamThatComesInSmallPieces) {
    Archive zip = with_count(40);
    zip.version = std::string("PK\x05\x06", 4);
    const std::string bytes = build::bytes(zip).substr(0, record_size * 30);  // the directory cut short
    Pieces pieces{bytes, 100};
    SourceFile source = stream_of(pieces);
    UpdateArchive archive;
    LoadProblem problem;
    EXPECT_LT(load_archive(archive, source, problem), 0);
    EXPECT_EQ(problem.kind, LoadProblem::Kind::short_directory);
    EXPECT_EQ(problem.format, LoadProblem::Format::zip);
}

TEST(Sample, IsReproducibleFromTheBuilder) {
    std::ifstream in(std::string(KPUPDATE_SOURCE_DIR) + "/examples/sample.update", std::ios::binary);
    const std::string stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(stored == build::bytes(build::sample())) << "regenerate with make_sample";
}

}  // namespace
}  // namespace kp