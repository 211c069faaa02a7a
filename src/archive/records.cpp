#include "archive/records.h"

#include <cstring>

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
    const void* end = std::memchr(field.data(), '\0', field.size());
    return {field.data(),
            end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - field.data()) : field.size()};
}

}  // namespace kp
