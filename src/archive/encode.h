// What a writer asks for, as the format's fields and layout: the inverse of the decoding in
// records.h and of the layout the loader derives, kept here so that the two agree.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "archive/records.h"

namespace kp {

// A name or version field: `text`, a NUL where there is room, as much of `tail` as fits
// after it, zeros past that. record_text reads back `text`, up to its first NUL and 88 bytes.
std::array<char, text_field_size> text_field(std::string_view text, std::string_view tail);

// An entry's record, its name field made by text_field.
DirectoryRecord entry_record(std::string_view name, std::string_view tail, u32 index, u32 size,
                             const std::array<u64, 4>& signature);

// The header of `count` entries whose data ends at `end`: it holds the count in the index
// field and the end, in 512-byte blocks, in the size field.
DirectoryRecord header_record(std::string_view version, std::string_view tail, std::size_t count, u64 end,
                              const std::array<u64, 4>& signature);

// Where each entry's data begins and where the file ends, for entries in directory order:
// what the loader derives.
struct NewLayout {
    u64 data_start = 0;
    u64 directory_end = 0;     // the header and every record
    u64 end = 0;               // the data's end, as the header declares it
    u64 file_length = 0;       // what is written: the data's end, or the directory's where it ends later
    std::size_t overlap = 0;   // the entry the last record's bytes begin, where the region begins there
    bool has_overlap = false;  // a multiple of four entries, with data
};

// The layout of `count` entries before any is measured: where the directory ends, where
// the data starts, and whether it starts at the last record, which the count decides.
NewLayout layout_of_count(std::size_t count);

// Adds the chunk of the entry at `position`, of `size` bytes, to a layout of its count. The
// entries may come in any order: the data's end is their sum, the overlap the first with data.
void add_to_layout(NewLayout& layout, std::size_t position, u32 size);

}  // namespace kp
