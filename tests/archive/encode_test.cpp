#include "archive/encode.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "archive/update_archive.h"

namespace kp {
namespace {

std::string field_bytes(const std::array<char, text_field_size>& field) {
    return {field.begin(), field.end()};
}

// Zeros up to a field's length after `bytes`.
std::string padded_field(std::string bytes) {
    bytes.resize(text_field_size, '\0');
    return bytes;
}

// Every byte of the field, and the text record_text reads back, at each edge of its room.
TEST(Encode, FillsATextFieldAsItIsRead) {
    const std::string longest(87, 'n');
    const struct {
        const char* what;
        std::string text;
        std::string tail;
        std::string bytes;
        std::string read;
    } cases[] = {
        {"text alone", "v1", "", padded_field("v1"), "v1"},
        {"a tail after the NUL", "v1", "ab", padded_field(std::string("v1\0ab", 5)), "v1"},
        {"no text, a tail", "", "t", padded_field(std::string("\0t", 2)), ""},
        {"a tail cut to the room left", std::string(85, 'n'), "xyz", std::string(85, 'n') + std::string("\0xy", 3),
         std::string(85, 'n')},
        {"the longest name: its NUL, no room for a tail", longest, "x", longest + std::string(1, '\0'), longest},
        {"text filling the field, no NUL", std::string(88, 'v'), "x", std::string(88, 'v'), std::string(88, 'v')},
        {"text past the field, cut", std::string(90, 'v'), "", std::string(88, 'v'), std::string(88, 'v')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::array<char, text_field_size> field = text_field(c.text, c.tail);
        EXPECT_EQ(field_bytes(field), c.bytes);
        EXPECT_EQ(record_text(field), c.read);
    }
}

// A header and directory encoded for each list of sizes load back as themselves, with
// each entry's data where the layout puts it and the data's end where the header says.
TEST(Encode, LaysOutWhatTheLoaderDerives) {
    const struct {
        const char* what;
        std::vector<u32> sizes;
        u64 data_start;
        u64 end;
        u64 file_length;
        bool has_overlap;
        std::size_t overlap;
    } cases[] = {
        {"one byte", {1}, 512, 1024, 1024, false, 1},
        {"three, the gap before the data", {0, 512, 513}, 512, 2048, 2048, false, 3},
        {"four: the data begins at the last record", {1, 0, 0, 0}, 512, 1024, 1024, true, 0},
        {"four empty: no data shares the last record, which ends the file", {0, 0, 0, 0}, 512, 512, 640, true, 4},
        {"eight, the first with data third", {0, 0, 700, 1, 0, 0, 0, 0}, 1024, 2560, 2560, true, 2},
        {"five empty: a gap after the directory, no data", {0, 0, 0, 0, 0}, 1024, 1024, 1024, false, 5},
        {"the largest entry",
         {largest_entry_size},
         512,
         512 + u64{largest_entry_size},
         512 + u64{largest_entry_size},
         false,
         1},
    };
    EXPECT_FALSE(layout_of_count(0).has_overlap) << "no entries: no record for data to begin at";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NewLayout layout = layout_of_count(c.sizes.size());
        EXPECT_EQ(layout.directory_end, record_size * (c.sizes.size() + 1));
        // Added last first: the layout is the same in any order.
        for (std::size_t i = c.sizes.size(); i-- > 0;) add_to_layout(layout, i, c.sizes[i]);
        EXPECT_EQ(layout.data_start, c.data_start);
        EXPECT_EQ(layout.end, c.end);
        EXPECT_EQ(layout.file_length, c.file_length);
        EXPECT_EQ(layout.has_overlap, c.has_overlap);
        EXPECT_EQ(layout.overlap, c.overlap);

        const std::array<u64, 4> signature = {1, 2, 3, 0xFEDCBA9876543210u};
        const DirectoryRecord header = header_record("fw 1", "x", c.sizes.size(), layout.end, signature);
        std::vector<DirectoryRecord> records;
        std::string bytes(reinterpret_cast<const char*>(encode_record(header).data()), record_size);
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            const std::string name = "d/f" + std::to_string(i);
            records.push_back(entry_record(name, "tail", static_cast<u32>(i + 7), c.sizes[i], {i, 0, 0, i}));
            bytes.append(reinterpret_cast<const char*>(encode_record(records.back()).data()), record_size);
        }
        std::istringstream in(bytes);
        UpdateArchive loaded;
        ASSERT_EQ(load_archive(loaded, in), static_cast<i32>(c.sizes.size()));
        EXPECT_EQ(loaded.header.record, header);
        EXPECT_EQ(record_text(loaded.header.record.name), "fw 1");
        EXPECT_EQ(loaded.data_start, layout.data_start);
        EXPECT_EQ(archive_end(loaded), layout.end);
        u64 offset = layout.data_start;
        for (std::size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(loaded.entries[i].record, records[i]) << "entry " << i;
            EXPECT_EQ(loaded.entries[i].data_offset, offset) << "entry " << i;
            offset += padded_size(c.sizes[i]);
        }
    }
}

}  // namespace
}  // namespace kp
