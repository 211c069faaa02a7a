#include "archive/records.h"

#include <cstring>

namespace kp {

DirectoryRecord decode_record(const unsigned char* bytes) {
    DirectoryRecord record;
    decode_record(bytes, record);
    return record;
}

void write_u32le(unsigned char* bytes, u32 value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

void write_u64le(unsigned char* bytes, u64 value) {
    write_u32le(bytes, static_cast<u32>(value));
    write_u32le(bytes + 4, static_cast<u32>(value >> 32));
}

RecordBytes encode_record(const DirectoryRecord& record) {
    RecordBytes bytes{};
    std::memcpy(bytes.data() + name_offset, record.name.data(), text_field_size);
    write_u32le(bytes.data() + index_offset, record.index);
    write_u32le(bytes.data() + size_offset, record.size);
    for (std::size_t i = 0; i < record.signature.size(); ++i) {
        write_u64le(bytes.data() + signature_offset + 8 * i, record.signature[i]);
    }
    return bytes;
}

std::string_view record_text(const std::array<char, text_field_size>& field) {
    const void* end = std::memchr(field.data(), '\0', field.size());
    return {field.data(),
            end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - field.data()) : field.size()};
}

}  // namespace kp
