// The 128-byte record shared by the header and the directory, and its decoding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

namespace kp {

using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i32 = std::int32_t;

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
};

// Frees a chunk buffer the way it was obtained.
struct ChunkRelease {
    std::size_t alignment = 0;  // allocated with this alignment; 0: ordinary allocation
    void* mapping = nullptr;    // or a view of the update file, `mapped` bytes long
    std::size_t mapped = 0;
    void operator()(unsigned char* data) const;
};
using ChunkBuffer = std::unique_ptr<unsigned char[], ChunkRelease>;

// Uninitialised memory for a chunk of `size` bytes (a valid buffer also for 0); null
// when it cannot be had. Large chunks are placed on huge pages where the system
// offers them, faulted in with one call instead of one fault per page.
ChunkBuffer allocate_chunk(u32 size);

// A read-only view of `size` bytes at `offset` in the file at `path`, for chunks large
// enough that reading them into fresh memory would cost more than the copy itself.
// Null when the range does not lie wholly inside the file or the platform offers no
// such view; the caller then reads the chunk. Only the kernel may touch the view's
// bytes (by writing them out), so a file cut short meanwhile makes that write fail.
ChunkBuffer map_file_chunk(const std::filesystem::path& path, u32 offset, u32 size);

// Faults in the whole pages of the `size` bytes at `data`, memory about to be filled,
// with one call instead of one fault per page. Changes no byte; does nothing where the
// system offers no such call.
void prefault(void* data, std::size_t size);

struct EntryRecord {
    DirectoryRecord record;
    ChunkBuffer data;  // the chunk, once extracted
    u32 chunk_size = 0;
    u32 data_offset = 0;
};

u32 read_u32le(const unsigned char* bytes);
u64 read_u64le(const unsigned char* bytes);

DirectoryRecord decode_record(const unsigned char* bytes);

// The text of a name field: up to its first NUL, never past its 88 bytes.
std::string_view record_text(const std::array<char, text_field_size>& field);

// Size rounded up to the next multiple of 512. Wraps like the format's own u32
// arithmetic, so a size within 511 of 2^32 yields 0.
constexpr u32 chunk_size_of(u32 size) {
    return static_cast<u32>(size + (chunk_alignment - 1)) & ~(chunk_alignment - 1);
}

// Start of the data region for `file_count` entries: ceil(n / 4) blocks. The header
// is not counted, so for a multiple of four the region begins at the last directory
// record; archives in the field are laid out this way.
constexpr u32 data_start_of(u32 file_count) {
    return static_cast<u32>((file_count + 3) / 4 * chunk_alignment);
}

}  // namespace kp
