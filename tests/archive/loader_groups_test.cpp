// The loader's groups of entries whose first signatures coincide: as the report shows them,
// as taking the entries one by one would make them, and kept by a moved archive.
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

}  // namespace
}  // namespace kp
