// The 128-byte record shared by the header and the directory, and its decoding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "console/integers.h"

namespace kp {

inline constexpr std::size_t record_size = 128;
inline constexpr std::size_t text_field_size = 88;
inline constexpr u32 chunk_alignment = 512;

// Field offsets inside a record. The header reuses `index` as its file count and
// `size` as the archive's total size in 512-byte blocks; its signatures are unused.
inline constexpr std::size_t name_offset = 0;
inline constexpr std::size_t index_offset = 88;
inline constexpr std::size_t size_offset = 92;
inline constexpr std::size_t signature_offset = 96;  // four u64, 8 bytes apart

using RecordBytes = std::array<unsigned char, record_size>;

struct DirectoryRecord {
    std::array<char, text_field_size> name{};  // NUL-terminated unless all 88 bytes are text
    u32 index = 0;                             // header: file_count
    u32 size = 0;                              // header: total_blocks
    std::array<u64, 4> signature{};
    // Field by field: what encodes to the same bytes, as each field is encoded on its own.
    bool operator==(const DirectoryRecord&) const = default;
};

struct EntryRecord {
    DirectoryRecord record;
    u32 chunk_size = 0;
    u32 data_offset = 0;
};

inline u32 read_u32le(const unsigned char* bytes) {
    return static_cast<u32>(bytes[0]) | static_cast<u32>(bytes[1]) << 8 | static_cast<u32>(bytes[2]) << 16 |
           static_cast<u32>(bytes[3]) << 24;
}

inline u64 read_u64le(const unsigned char* bytes) {
    return static_cast<u64>(read_u32le(bytes)) | static_cast<u64>(read_u32le(bytes + 4)) << 32;
}

// Every field of `record` from the 128 bytes at `bytes`. Inline, so that a caller's own
// zeroing of a record it decodes into is seen to be overwritten and left out: the loader
// decodes thousands.
inline void decode_record(const unsigned char* bytes, DirectoryRecord& record) {
    std::memcpy(record.name.data(), bytes + name_offset, text_field_size);
    record.index = read_u32le(bytes + index_offset);
    record.size = read_u32le(bytes + size_offset);
    for (std::size_t i = 0; i < record.signature.size(); ++i) {
        record.signature[i] = read_u64le(bytes + signature_offset + 8 * i);
    }
}

DirectoryRecord decode_record(const unsigned char* bytes);

void write_u32le(unsigned char* bytes, u32 value);
void write_u64le(unsigned char* bytes, u64 value);

// The 128 bytes of `record`, as decode_record reads them.
RecordBytes encode_record(const DirectoryRecord& record);

// The text of a name field: up to its first NUL, never past its 88 bytes.
std::string_view record_text(const std::array<char, text_field_size>& field);

// A run of bytes in the update file, in 64 bits: the u32 offsets and sizes of the format
// never wrap here.
struct ByteRange {
    u64 offset = 0;
    u64 size = 0;
    constexpr u64 end() const { return offset + size; }
    // Whether it lies wholly inside a file of `length` bytes. An empty range needs no byte
    // of the file, wherever it starts.
    constexpr bool lies_within(u64 length) const { return size == 0 || end() <= length; }
    // How far it reaches past the end of such a file; 0 when it lies within.
    constexpr u64 past(u64 length) const { return lies_within(length) ? 0 : end() - length; }
};

// An entry's own bytes, and its whole 512-byte chunk.
constexpr ByteRange own_bytes(const EntryRecord& entry) {
    return {entry.data_offset, entry.record.size};
}
constexpr ByteRange chunk_bytes(const EntryRecord& entry) {
    return {entry.data_offset, entry.chunk_size};
}

// What extraction writes of an entry: with `padded` its chunk, else its own bytes.
constexpr ByteRange written_bytes(const EntryRecord& entry, bool padded) {
    return padded ? chunk_bytes(entry) : own_bytes(entry);
}

// Size rounded up to the next multiple of 512. Wraps like the format's own u32
// arithmetic, so a size within 511 of 2^32 yields 0.
constexpr u32 chunk_size_of(u32 size) {
    return static_cast<u32>(size + (chunk_alignment - 1)) & ~(chunk_alignment - 1);
}

// The largest size whose chunk a u32 holds: 4 GiB less 512. A writer refuses anything
// larger, whose chunk would wrap to almost nothing.
inline constexpr u32 largest_entry_size = 0xFFFFFE00u;

// Size rounded up to the next multiple of 512 in 64 bits, where it never wraps: the
// chunk a writer lays out.
constexpr u64 padded_size(u64 size) {
    return (size + (chunk_alignment - 1)) & ~u64{chunk_alignment - 1};
}

// The longest name a record holds (its field keeps one byte for the NUL), and so the
// most parts a name can have: one byte each, and a separator between them.
inline constexpr std::size_t longest_name = text_field_size - 1;
inline constexpr std::size_t most_name_parts = (longest_name + 1) / 2;

// Start of the data region for `file_count` entries: ceil(n / 4) blocks. The header
// is not counted, so for a multiple of four the region begins at the last directory
// record; archives in the field are laid out this way.
constexpr u32 data_start_of(u32 file_count) {
    return static_cast<u32>((file_count + 3) / 4 * chunk_alignment);
}

}  // namespace kp
