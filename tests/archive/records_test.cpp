// Where an entry's bytes lie in its update file.
#include "archive/records.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "archive/update_archive.h"
#include "archive_builder.h"

namespace kp {
namespace {

build::Entry entry(std::string name, std::uint32_t index, std::uint32_t size, std::string data = "") {
    return {std::move(name), index, size, {index, 0, 0, 0}, std::move(data)};
}

TEST(ByteRange, TellsWhetherAnEntryLiesInsideTheFile) {
    build::Archive plan;
    plan.entries = {entry("a.bin", 1, 1000)};
    const std::string whole = build::bytes(plan);
    std::istringstream in(whole);
    UpdateArchive archive;
    ASSERT_EQ(load_archive(archive, in), 1);
    const struct {
        u64 file_length;
        bool padded;
        bool inside;
        u64 size;
    } cases[] = {
        {whole.size(), true, true, 1024}, {whole.size() - 1, true, false, 1024}, {512, true, false, 1024},
        {512 + 1000, false, true, 1000},  {512 + 999, false, false, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.file_length << (c.padded ? " padded" : ""));
        const ByteRange range = written_bytes(archive.entries[0], c.padded);
        EXPECT_EQ(range.lies_within(c.file_length), c.inside);
        EXPECT_EQ(range.past(c.file_length), c.inside ? 0 : range.end() - c.file_length);
        EXPECT_EQ(range.offset, 512u);
        EXPECT_EQ(range.size, c.size);
    }
}

}  // namespace
}  // namespace kp
