#include "archive/records.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "archive/memory_hint.h"

namespace kp {

u32 read_u32le(const unsigned char* bytes) {
    return static_cast<u32>(bytes[0]) | static_cast<u32>(bytes[1]) << 8 | static_cast<u32>(bytes[2]) << 16 |
           static_cast<u32>(bytes[3]) << 24;
}

u64 read_u64le(const unsigned char* bytes) {
    return static_cast<u64>(read_u32le(bytes)) | static_cast<u64>(read_u32le(bytes + 4)) << 32;
}

DirectoryRecord decode_record(const unsigned char* bytes) {
    DirectoryRecord record;
    std::memcpy(record.name.data(), bytes + name_offset, text_field_size);
    record.index = read_u32le(bytes + index_offset);
    record.size = read_u32le(bytes + size_offset);
    for (std::size_t i = 0; i < record.signature.size(); ++i) {
        record.signature[i] = read_u64le(bytes + signature_offset + 8 * i);
    }
    return record;
}

std::string_view record_text(const std::array<char, text_field_size>& field) {
    const auto end = std::find(field.begin(), field.end(), '\0');
    return {field.data(), static_cast<std::size_t>(end - field.begin())};
}

namespace {
constexpr std::size_t huge_page_size = std::size_t{2} << 20;
}

void ChunkRelease::operator()(unsigned char* data) const {
    if (alignment != 0) {
        ::operator delete[](data, std::align_val_t{alignment});
    } else {
        delete[] data;
    }
}

ChunkBuffer allocate_chunk(u32 size) {
    if (size < huge_page_size) {
        return ChunkBuffer(new (std::nothrow) unsigned char[size], ChunkRelease{});
    }
    // Through the ordinary allocator, so memory limits and sanitizers still see it.
    void* memory = ::operator new[](size, std::align_val_t{huge_page_size}, std::nothrow);
    if (memory != nullptr) prepare_large_buffer(memory, size);
    return ChunkBuffer(static_cast<unsigned char*>(memory), ChunkRelease{huge_page_size});
}

}  // namespace kp
