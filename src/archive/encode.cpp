#include "archive/encode.h"

#include <algorithm>
#include <cstring>

namespace kp {

std::array<char, text_field_size> text_field(std::string_view text, std::string_view tail) {
    // The text and zeros after it, not zeros first and the text over them; then the tail.
    std::array<char, text_field_size> field;
    const std::size_t length = std::min(text.size(), field.size());
    std::memcpy(field.data(), text.data(), length);
    std::memset(field.data() + length, 0, field.size() - length);
    if (text.size() + 1 < field.size()) {
        std::memcpy(field.data() + text.size() + 1, tail.data(), std::min(tail.size(), field.size() - text.size() - 1));
    }
    return field;
}

DirectoryRecord entry_record(std::string_view name, std::string_view tail, u32 index, u32 size,
                             const std::array<u64, 4>& signature) {
    return {text_field(name, tail), index, size, signature};
}

DirectoryRecord header_record(std::string_view version, std::string_view tail, std::size_t count, u64 end,
                              const std::array<u64, 4>& signature) {
    return {text_field(version, tail), static_cast<u32>(count), static_cast<u32>(end / chunk_alignment), signature};
}

NewLayout layout_of_count(std::size_t count) {
    NewLayout layout;
    layout.data_start = data_start_of(static_cast<u32>(count));
    layout.directory_end = record_size * (count + 1);
    layout.end = layout.data_start;
    layout.file_length = std::max(layout.end, layout.directory_end);
    // With a multiple of four entries the data region begins at the last directory record:
    // the first bytes of the first entry with any are that record's.
    layout.has_overlap = count != 0 && count % 4 == 0;
    layout.overlap = count;
    return layout;
}

void add_to_layout(NewLayout& layout, std::size_t position, u32 size) {
    layout.end += padded_size(size);
    layout.file_length = std::max(layout.end, layout.directory_end);
    if (layout.has_overlap && size != 0 && position < layout.overlap) layout.overlap = position;
}

}  // namespace kp
