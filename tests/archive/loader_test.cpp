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

#include "archive/update_archive.h"
#include "archive_builder.h"
#include "support/capture.h"

namespace kp {
namespace {

using build::Archive;
using build::Entry;

using Loaded = test::LoadedArchive;

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

// `bytes` as a pipe gives them, at most `most` at a time.
struct Pieces {
    const std::string& bytes;
    std::size_t most = ~std::size_t{0};
    std::size_t at = 0;
};

SourceFile stream_of(Pieces& pieces) {
    SourceFile source;
    source.stream = true;
    source.length = unknown_length;
    source.reader = {[](void* context, unsigned char* buffer, std::size_t size) -> std::int64_t {
                         auto& from = *static_cast<Pieces*>(context);
                         const std::size_t got = std::min({size, from.most, from.bytes.size() - from.at});
                         std::memcpy(buffer, from.bytes.data() + from.at, got);
                         from.at += got;
                         return static_cast<std::int64_t>(got);
                     },
                     &pieces};
    return source;
}

// `bytes` loaded from a stream, leaving the groups: the load's result, with `archive`.
i32 load_leaving_groups(const std::string& bytes, UpdateArchive& archive) {
    Pieces pieces{bytes};
    SourceFile source = stream_of(pieces);
    LoadProblem problem;
    return load_archive(archive, source, problem, Grouping::left);
}

TEST(LoadArchive, GroupsBySignatureAndWarnsOnSecondMismatch) {
    Archive archive;
    archive.entries = {
        {"a.bin", 10, 1, {0x8000000000000000, 0xA, 0, 0}, ""},
        {"b.bin", 0xFFFFFFFF, 1, {0x8000000000000000, 0xB, 0, 0}, ""},
        {"c.bin", 12, 1, {0x8000000000000000, 0xA, 0, 0}, ""},
        {"d.bin", 13, 1, {0x1, 0, 0, 0}, ""},
        {"e.bin", 14, 1, {0x1, 0, 0, 0}, ""},
    };
    archive.total_blocks = 3;  // wrong on purpose: the warning still comes first
    Loaded loaded(build::bytes(archive));
    EXPECT_EQ(loaded.result, load_malformed);
    EXPECT_EQ(loaded.capture.text(), "2nd data mismatch at (-1) b.bin.\n");

    archive.total_blocks.reset();
    Loaded good(build::bytes(archive));
    ASSERT_EQ(good.result, 5);
    ASSERT_EQ(good.archive.groups.size(), 2u);
    EXPECT_EQ(good.archive.groups[0].signature, 0x1u);  // unsigned order
    const SignatureGroup& group = good.archive.groups[1];
    EXPECT_EQ(group.signature, 0x8000000000000000u);
    EXPECT_EQ(std::vector<i32>(group.positions.begin(), group.positions.end()), (std::vector<i32>{0, 2}));
    EXPECT_EQ(group.second_signature, 0xAu);

    // Left by a load that only compares records: the same validation, no groups.
    UpdateArchive left;
    ASSERT_EQ(load_leaving_groups(build::bytes(archive), left), 5);
    EXPECT_TRUE(left.groups.empty());
    EXPECT_TRUE(left.mismatched.empty());
    EXPECT_EQ(left.entries.back().record, good.archive.entries.back().record);
    archive.total_blocks = 3;
    EXPECT_EQ(load_leaving_groups(build::bytes(archive), left), load_malformed);
}

// Groups and warnings as they come from taking the entries one at a time into a map,
// the way the format's grouping is defined.
struct ReferenceGroups {
    std::map<u64, std::pair<std::vector<i32>, u64>> groups;  // positions, second signature
    std::string warnings;
};

ReferenceGroups group_one_by_one(const Archive& archive, std::size_t count) {
    ReferenceGroups reference;
    for (std::size_t position = 0; position < count; ++position) {
        const Entry& entry = archive.entries[position];
        const auto [group, added] = reference.groups.try_emplace(entry.signature[0]);
        if (!added && group->second.second != entry.signature[1]) {
            reference.warnings +=
                "2nd data mismatch at (" + std::to_string(static_cast<i32>(entry.index)) + ") " + entry.name + ".\n";
            continue;
        }
        group->second.first.push_back(static_cast<i32>(position));
        group->second.second = entry.signature[1];
    }
    return reference;
}

// Only groups that two or more entries share are kept.
void expect_groups(const Loaded& loaded, ReferenceGroups reference) {
    std::erase_if(reference.groups, [](const auto& group) { return group.second.first.size() < 2; });
    ASSERT_EQ(loaded.archive.groups.size(), reference.groups.size());
    auto expected = reference.groups.begin();
    for (const SignatureGroup& group : loaded.archive.groups) {
        EXPECT_EQ(group.signature, expected->first);
        EXPECT_EQ(std::vector<i32>(group.positions.begin(), group.positions.end()), expected->second.first);
        EXPECT_EQ(group.second_signature, expected->second.second);
        ++expected;
    }
}

// Directories whose records come from `key`, with second signatures that mostly agree.
Archive keyed_directory(u32 count, const std::function<u64(u32, std::mt19937_64&)>& key) {
    std::mt19937_64 random(7);
    Archive archive;
    archive.with_data = false;
    for (u32 i = 0; i < count; ++i) {
        const u64 first = key(i, random);
        const u64 second = random() % 8 == 0 ? 1 : 0;
        archive.entries.push_back({"e" + std::to_string(i), i, i % 3, {first, second, i, 0}, ""});
    }
    return archive;
}

static_assert(!std::is_copy_constructible_v<UpdateArchive> && !std::is_copy_assignable_v<UpdateArchive>,
              "groups point into their own archive's storage");

// A moved archive's groups still point into its own storage, by construction and by
// assignment over one that held groups of its own.
TEST(LoadArchive, MovedArchiveKeepsItsGroups) {
    Archive archive;
    archive.entries = {
        {"a.bin", 0, 1, {7, 0, 0, 0}, ""}, {"b.bin", 1, 1, {7, 0, 0, 0}, ""}, {"c.bin", 2, 1, {9, 0, 0, 0}, ""},
        {"d.bin", 3, 1, {9, 0, 0, 0}, ""}, {"e.bin", 4, 1, {9, 0, 0, 0}, ""},
    };
    const auto positions_in_own_storage = [](const UpdateArchive& moved) {
        std::vector<std::vector<u32>> found;
        for (const SignatureGroup& group : moved.groups) {
            const u32* first = moved.grouped_positions.data();
            EXPECT_GE(group.positions.data(), first);
            EXPECT_LE(group.positions.data() + group.positions.size(), first + moved.grouped_positions.size());
            found.emplace_back(group.positions.begin(), group.positions.end());
        }
        return found;
    };
    const std::vector<std::vector<u32>> expected = {{0, 1}, {2, 3, 4}};
    Loaded loaded(build::bytes(archive));
    ASSERT_EQ(loaded.result, 5);
    UpdateArchive constructed(std::move(loaded.archive));
    EXPECT_EQ(positions_in_own_storage(constructed), expected);
    Archive pair;
    pair.entries = {{"x.bin", 0, 1, {5, 0, 0, 0}, ""}, {"y.bin", 1, 1, {5, 0, 0, 0}, ""}};
    Loaded other(build::bytes(pair));
    ASSERT_EQ(other.archive.groups.size(), 1u);
    other.archive = std::move(constructed);
    EXPECT_EQ(positions_in_own_storage(other.archive), expected);
}

TEST(LoadArchive, GroupsLikeTakingEntriesOneByOne) {
    // A few keys that differ in low, middle or top bits only, among spread-out ones.
    const u64 few[] = {0,
                       1,
                       0x100,
                       0xFF00000000,
                       0x0100000000000000,
                       0x8000000000000000,
                       0xFFFFFFFFFFFFFFFF,
                       0x8000000000000001,
                       0x00FF00FF00FF00FF};
    const struct {
        const char* what;
        std::function<u64(u32, std::mt19937_64&)> key;
    } directories[] = {
        {"few keys and spread ones",
         [&](u32 i, std::mt19937_64& random) { return i % 5 == 0 ? random() : few[random() % std::size(few)]; }},
        {"spread keys", [](u32, std::mt19937_64& random) { return random() % 4000 * 0x9E3779B97F4A7C15; }},
        {"one key", [](u32, std::mt19937_64&) { return u64{0xABCDEF}; }},
        {"keys differing in their lowest bits", [](u32, std::mt19937_64& random) { return 0xFF00 + random() % 5; }},
        {"keys sharing their high bits", [](u32 i, std::mt19937_64&) { return 0x7000000000000000 + (1500 - i) * 977; }},
    };
    for (const auto& directory : directories) {
        SCOPED_TRACE(directory.what);
        // Directories of a few entries too, fewer than there are buckets.
        for (const u32 count : {1500u, 2u, 3u, 5u}) {
            const Archive archive = keyed_directory(count, directory.key);
            Loaded loaded(build::bytes(archive));
            EXPECT_EQ(loaded.result, static_cast<i32>(count));
            const ReferenceGroups reference = group_one_by_one(archive, count);
            EXPECT_EQ(loaded.capture.text(), reference.warnings);
            expect_groups(loaded, reference);
        }
    }
}

TEST(LoadArchive, KeepsRecordsBeforeAShortOneAcrossReadBlocks) {
    const Archive archive = keyed_directory(1500, [](u32, std::mt19937_64& random) { return random() % 300; });
    const std::string whole = build::bytes(archive);
    const struct {
        const char* what;
        std::size_t records;  // complete directory records in the input
        bool cut;             // and a part of the next one
    } cases[] = {{"cut in the second block", 700, true}, {"cut at a block's end", 1024, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Loaded loaded(whole.substr(0, 128 * (1 + c.records) + (c.cut ? 60 : 0)));
        EXPECT_EQ(loaded.result, load_malformed);
        const ReferenceGroups reference = group_one_by_one(archive, c.records);
        EXPECT_EQ(loaded.capture.text(), reference.warnings);
        expect_groups(loaded, reference);
        EXPECT_EQ(loaded.archive.entries[c.records - 1].record.index, c.records - 1);
        EXPECT_EQ(loaded.archive.entries[c.records].record.signature[2], 0u);  // not read
    }
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
