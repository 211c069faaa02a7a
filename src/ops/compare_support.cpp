#include "ops/compare_support.h"

#include <algorithm>
#include <cstring>

#include "fs/stream.h"
#include "ops/names.h"

namespace kp {

const unsigned char* Window::view(u64 at, std::size_t length) {
    if (at < offset || at + length > offset + size) {
        if (at >= file->length || file->length - at < length) return nullptr;
        // What the window holds from `at` on moves to its front; the rest is read after it.
        const std::size_t kept = at >= offset && at < offset + size ? static_cast<std::size_t>(offset + size - at) : 0;
        if (kept != 0) std::memmove(bytes.get(), bytes.get() + (at - offset), kept);
        offset = at;
        const auto wanted = static_cast<std::size_t>(std::min<u64>(compare_piece, file->length - at));
        size = kept + read_up_to(*file, at + kept, bytes.get() + kept, wanted - kept);
        if (size < length) return nullptr;
    }
    return bytes.get() + (at - offset);
}

std::optional<u64> first_difference(Window& a, u64 offset, Window& b, u64 other_offset, u64 size) {
    for (u64 done = 0; done < size;) {
        const auto length = static_cast<std::size_t>(std::min<u64>(size - done, compare_piece));
        const unsigned char* first = a.view(offset + done, length);
        const unsigned char* second = b.view(other_offset + done, length);
        if (first == nullptr || second == nullptr) return done;  // nothing past here is known to agree
        if (std::memcmp(first, second, length) != 0) {
            return done + static_cast<u64>(std::mismatch(first, first + length, second).first - first);
        }
        done += length;
    }
    return std::nullopt;
}

bool readable_in_order(const SourceFile& source, const std::vector<ByteRange>& ranges) {
    if (!source.stream) return true;
    u64 last = 0;
    for (const ByteRange& range : ranges) {
        if (range.size == 0) continue;
        if (range.offset < last || stream_passed(source, range.offset)) return false;
        last = range.offset;
    }
    return true;
}

std::string_view key_of(const EntryRecord& entry, std::deque<std::string>& storage) {
    std::string key;
    const std::string_view view = name_key(record_text(entry.record.name), native_name_rules(), key);
    return key.empty() ? view : std::string_view(storage.emplace_back(std::move(key)));
}

DiffEntry diff_entry_of(const EntryRecord& entry, u32 position) {
    DiffEntry described;
    described.name = record_text(entry.record.name);
    described.position = position;
    described.index = entry.record.index;
    described.size = entry.record.size;
    return described;
}

}  // namespace kp
