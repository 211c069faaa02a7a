#include "ops/scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "archive/update_archive.h"
#include "archive_builder.h"
#include "fs/stream.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using test::random_bytes;

// Bytes of a real program, repeated to `size`: small integers where a count would lie.
std::string program_bytes(std::size_t size) {
    const std::string program = test::read_file(KPUPDATE_BINARY);
    std::string bytes;
    while (bytes.size() < size) bytes += program.substr(0, std::min(program.size(), size - bytes.size()));
    return bytes;
}

build::Archive archive_of(std::size_t count, const std::string& version = "fw 2.1") {
    build::Archive archive;
    archive.version = version;
    for (std::size_t i = 0; i < count; ++i) {
        archive.entries.push_back({"dir/file" + std::to_string(i) + ".bin",
                                   static_cast<u32>(i + 1),
                                   static_cast<u32>(100 + 700 * i),
                                   {i, i + 1, 0, 0},
                                   "data"});
    }
    return archive;
}

struct Reader {
    const std::string* bytes = nullptr;
    std::size_t at = 0;
    std::size_t piece = 0;  // most bytes a call gives
};

std::int64_t read_pieces(void* context, unsigned char* buffer, std::size_t size) {
    auto& reader = *static_cast<Reader*>(context);
    const std::size_t count = std::min({size, reader.piece, reader.bytes->size() - reader.at});
    std::memcpy(buffer, reader.bytes->data() + reader.at, count);
    reader.at += count;
    return static_cast<std::int64_t>(count);
}

struct Found {
    u64 offset, end;
    u32 file_count;
    bool cut, inside;
    u64 within;
    bool weak;
    bool operator==(const Found&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Found& found) {
    return out << "{" << found.offset << ".." << found.end << " n" << found.file_count << (found.cut ? " cut" : "")
               << (found.inside ? " in " + std::to_string(found.within) : "") << (found.weak ? " weak" : "") << "}";
}

struct Collected {
    std::vector<Found> found;
    std::vector<u64> confirmed;
    std::string passed;
};

// The hits in `blob`, read as a stream in pieces of `piece` bytes (0: whole, as a file).
std::vector<Found> scan(const std::string& blob, std::size_t piece = 0, bool weak = false,
                        std::string* passed = nullptr) {
    Collected collected;
    ScanSink sink;
    sink.context = &collected;
    sink.confirmed = [](void* context, const FoundUpdate& found) {
        static_cast<Collected*>(context)->confirmed.push_back(found.hit.offset);
    };
    sink.found = [](void* context, const FoundUpdate& found) {
        auto& collected = *static_cast<Collected*>(context);
        // Confirmed first, before its bytes passed.
        EXPECT_NE(std::find(collected.confirmed.begin(), collected.confirmed.end(), found.hit.offset),
                  collected.confirmed.end());
        collected.found.push_back(
            {found.hit.offset, found.end, found.hit.file_count, found.cut, found.inside, found.within, found.hit.weak});
    };
    sink.passed = [](void* context, u64 offset, const unsigned char* bytes, std::size_t size) {
        auto& collected = *static_cast<Collected*>(context);
        EXPECT_EQ(offset, collected.passed.size());
        collected.passed.append(reinterpret_cast<const char*>(bytes), size);
    };
    Reader reader{&blob, 0, piece != 0 ? piece : blob.size() + 1};
    SourceFile source;
    source.stream = true;
    source.reader = {read_pieces, &reader};
    source.length = unknown_length;
    const ScanOutcome outcome = scan_source(source, scan_rules(weak), sink);
    EXPECT_EQ(outcome.size, blob.size());
    EXPECT_EQ(outcome.hits, collected.found.size());
    EXPECT_EQ(collected.passed, blob) << "every byte passes once, in order";
    if (passed != nullptr) *passed = collected.passed;
    return collected.found;
}

// What the loader makes of the blob at `offset`.
bool loads_at(const std::string& blob, u64 offset) {
    std::istringstream in(blob.substr(static_cast<std::size_t>(offset)));
    UpdateArchive archive;
    return load_archive(archive, in) > 0;
}

struct Placement {
    u64 offset;
    build::Archive archive;
};

// `background` with each archive written over it at its offset.
std::string blob_of(std::string background, const std::vector<Placement>& placements) {
    for (const Placement& placement : placements) {
        const std::string bytes = build::bytes(placement.archive);
        const auto at = static_cast<std::size_t>(placement.offset);
        background.replace(at, std::min(bytes.size(), background.size() - at), bytes.substr(0, background.size() - at));
    }
    return background;
}

u64 end_of(const Placement& placement) {
    return placement.offset + u64{build::consistent_total_blocks(placement.archive)} * 512;
}

TEST(Scan, FindsEveryUpdateFileOnEveryBackground) {
    constexpr std::size_t size = 300000;
    const std::pair<const char*, std::string> backgrounds[] = {
        {"random", random_bytes(size, 7)},
        {"zeros", std::string(size, '\0')},
        {"ones", std::string(size, '\xFF')},
        {"program", program_bytes(size)},
    };
    const build::Archive three = archive_of(3);
    const build::Archive four = archive_of(4, "count of four");  // its first chunk starts at its last record
    const u64 back = 4096 + u64{build::consistent_total_blocks(three)} * 512;
    const std::vector<std::vector<Placement>> layouts = {
        {},
        {{0, three}},
        {{4096, three}, {back, four}},   // aligned, back to back
        {{1001, three}, {77777, four}},  // unaligned
        {{size - 3000, three}},          // cut by the blob's end
    };
    for (const auto& [name, background] : backgrounds) {
        for (const auto& layout : layouts) {
            const std::string blob = blob_of(background, layout);
            std::vector<Found> expected;
            for (const Placement& placement : layout) {
                const u64 end = end_of(placement);
                expected.push_back({placement.offset, end, static_cast<u32>(placement.archive.entries.size()),
                                    end > size, false, 0, false});
            }
            EXPECT_EQ(scan(blob), expected) << name << ", " << layout.size() << " placed";
            for (const Found& found : scan(blob)) EXPECT_TRUE(loads_at(blob, found.offset)) << found;
        }
    }
}

// The scan judges 4 MiB at a time, each offset once it holds the longest directory the
// offset could have: hits on either side of where one judging or one read ends.
TEST(Scan, FindsHitsWhereItsReadsMeet) {
    constexpr u64 block = u64{4} << 20;
    constexpr u64 longest = 128 + 128 * 5000;
    const build::Archive two = archive_of(2);  // 2048 bytes
    std::vector<Placement> layout;
    for (const u64 at :
         {block - 2049, block - 1, block + 2047, block + longest - 1000, 2 * block - 1, 2 * block + longest - 64}) {
        layout.push_back({at, two});
    }
    const std::string blob = blob_of(random_bytes(3 * block, 9), layout);
    std::vector<Found> expected;
    for (const Placement& placement : layout) {
        expected.push_back({placement.offset, end_of(placement), 2, false, false, 0, false});
    }
    EXPECT_EQ(scan(blob), expected);
    EXPECT_EQ(scan(blob, 100003), expected);
}

// The largest directory there is, judged only once all of it has been read: just past
// where the first read's offsets are judged, its last record in the second read.
TEST(Scan, HoldsTheLongestDirectoryAcrossReads) {
    constexpr u64 block = u64{4} << 20;
    build::Archive most;
    most.version = "five thousand";
    for (u32 i = 0; i < max_file_count; ++i) most.entries.push_back({"f" + std::to_string(i), i, 1, {}, "x"});
    const Placement placement{block + 10, most};
    const std::string blob = blob_of(random_bytes(3 * block, 10), {placement});
    const std::vector<Found> expected = {{block + 10, end_of(placement), max_file_count, false, false, 0, false}};
    EXPECT_EQ(scan(blob), expected);
    EXPECT_EQ(scan(blob, 65536), expected);
}

// A blob that ends one record short of a directory holds no hit, whatever lies in the
// scan's memory past its end; offsets of one residue far apart are each judged afresh.
TEST(Scan, JudgesOnlyBytesTheBlobHolds) {
    build::Archive archive = archive_of(3);
    archive.entries[2].size = 0;  // the missing record's chunk would add nothing
    const std::string bytes = build::bytes(archive);
    const std::string short_one = random_bytes(5000, 11) + bytes.substr(0, 3 * 128);
    EXPECT_TRUE(scan(short_one, 0, true).empty());

    const u64 apart = (u64{5} << 20) + 128 * 7;  // the same residue modulo 128, past a whole read
    const std::string blob =
        blob_of(random_bytes((u64{11} << 20), 12), {{1000, archive_of(2)}, {1000 + apart, archive_of(2)}});
    EXPECT_EQ(scan(blob).size(), 2u);
}

TEST(Scan, TellsTheUpdateFileWhoseMemberHoldsAHit) {
    const std::string inner = build::bytes(archive_of(2, "inner"));
    build::Archive outer = archive_of(3, "outer");
    outer.entries[1].data = inner;
    outer.entries[1].size = static_cast<u32>(inner.size() + 10);
    const std::string bytes = build::bytes(outer);
    const u64 member = build::data_start_of(3) + build::chunk_of(outer.entries[0].size);
    const std::string blob = random_bytes(999, 1) + bytes + random_bytes(5000, 2);
    const std::vector<Found> expected = {
        {999, 999 + bytes.size(), 3, false, false, 0, false},
        {999 + member, 999 + member + inner.size(), 2, false, true, 999, false},
    };
    EXPECT_EQ(scan(blob), expected);
}

TEST(Scan, StreamsInPiecesOfAnySizeFindTheSame) {
    const std::string blob = blob_of(random_bytes(20000, 3), {{1234, archive_of(5)}, {15000, archive_of(1)}});
    const std::vector<Found> whole = scan(blob);
    ASSERT_EQ(whole.size(), 2u);
    for (std::size_t piece : {1, 2, 3, 7, 64, 127, 128, 129, 500, 4096}) EXPECT_EQ(scan(blob, piece), whole) << piece;
}

// What a hit must be besides what the loader accepts: each row breaks one rule (or keeps
// one of the two tidy habits), in an archive otherwise found.
TEST(Scan, PlausibilityRulesKeepChanceMatchesOut) {
    struct Row {
        const char* what;
        void (*change)(std::string& bytes);
        bool found;  // strictly
        bool loads;  // the loader would: found with --weak
    };
    const Row rows[] = {
        {"as built", [](std::string&) {}, true, true},
        {"version without a NUL", [](std::string& b) { b.replace(0, 88, std::string(88, 'v')); }, false, true},
        {"version with a control byte", [](std::string& b) { b[1] = '\x1b'; }, false, true},
        {"name not UTF-8", [](std::string& b) { b[128 + 2] = '\xC0'; }, false, true},
        {"name with '..'", [](std::string& b) { b.replace(256, 6, std::string("../x\0\0", 6)); }, false, true},
        {"empty name", [](std::string& b) { b[256] = '\0'; }, false, true},
        {"names untidy, version tidy",
         [](std::string& b) {
             b[128 + 80] = 'x';
             b[256 + 87] = 'y';
         },
         true, true},
        {"names untidy, version empty",
         [](std::string& b) {
             b.replace(0, 6, std::string(6, '\0'));
             b[128 + 80] = 'x';
         },
         false, true},
        {"names untidy, version untidy",
         [](std::string& b) {
             b[60] = 'z';
             b[128 + 80] = 'x';
         },
         false, true},
        {"names tidy, version untidy", [](std::string& b) { b[60] = 'z'; }, true, true},
        {"sizes disagree", [](std::string& b) { b[92] = '\x7f'; }, false, false},
        {"only empty files",
         [](std::string& b) {
             b.replace(128 + 92, 4, std::string(4, '\0'));
             b.replace(256 + 92, 4, std::string(4, '\0'));
             b.replace(92, 4, std::string("\x01\0\0\0", 4));  // the data region is empty
         },
         false, true},
        {"sizes agree only as they wrap past 4 GiB",
         [](std::string& b) {
             b.replace(128 + 92, 4, std::string("\x00\xfe\xff\xff", 4));  // its chunk: 4 GiB less 512
             b.replace(92, 4, std::string("\x02\0\0\0", 4));              // the other's chunk alone
         },
         false, true},
    };
    for (const Row& row : rows) {
        std::string bytes = build::bytes(archive_of(2));
        row.change(bytes);
        const std::string blob = random_bytes(300, 4) + bytes + random_bytes(300, 5);
        EXPECT_EQ(scan(blob).size(), row.found ? 1u : 0u) << row.what;
        const std::vector<Found> weak = scan(blob, 0, true);
        const bool loads = std::any_of(weak.begin(), weak.end(), [](const Found& f) { return f.offset == 300; });
        EXPECT_EQ(loads, row.loads) << row.what;
        for (const Found& found : weak) EXPECT_EQ(found.weak, !row.found) << row.what;
    }
}

TEST(Scan, ADirectoryCutByTheEndIsNoHit) {
    const std::string bytes = build::bytes(archive_of(40));
    const std::string blob = random_bytes(1000, 6) + bytes.substr(0, 128 * 20);
    EXPECT_TRUE(scan(blob).empty());
    EXPECT_TRUE(scan(blob, 0, true).empty());
}

// Blobs made to be slow find nothing wrong and end: each offset is one a scan must judge.
TEST(Scan, BlobsOfOneRecordRepeated) {
    const std::string records[] = {
        build::record("file.bin", 3, 1000, {1, 2, 3, 4}),
        build::record("V1.0", 5000, 70000),
        build::record("V1.0", 4, 1),
    };
    for (const std::string& record : records) {
        std::string blob;
        while (blob.size() < (std::size_t{3} << 20)) blob += record;
        EXPECT_TRUE(scan(blob).empty());
    }
    // One that is a directory of 510 of itself, every 128 bytes: all hits, each in the last.
    std::string blob;
    const std::string record = build::record("a", 510, 32768);
    while (blob.size() < 128 * 2000) blob += record;
    const std::vector<Found> found = scan(blob);
    ASSERT_EQ(found.size(), 2000u - 510u);
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].offset, 128 * i);
        EXPECT_TRUE(found[i].cut);
        EXPECT_EQ(found[i].inside, i >= 512) << i;  // chunks begin 128 blocks in: at 65536
        if (found[i].inside) {
            EXPECT_EQ(found[i].within, 128 * (i - 512));
        }
    }
}

}  // namespace
}  // namespace kp
