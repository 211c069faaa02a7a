// Update files in memory given as a pipe gives them: a stream's reads of at most so many
// bytes at a time, for the loader's tests.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fs/source.h"

namespace kp::test {

// `bytes` as a pipe gives them, at most `most` at a time.
struct Pieces {
    const std::string& bytes;
    std::size_t most = ~std::size_t{0};
    std::size_t at = 0;
};

inline SourceFile stream_of(Pieces& pieces) {
    SourceFile source;
    source.stream = true;
    source.length = unknown_length;
    source.reader = {[](void* context, unsigned char* buffer, std::size_t size) -> std::int64_t {
                         auto& from = *static_cast<Pieces*>(context);
                         const std::size_t got = std::min({size, from.most, from.bytes.size() - from.at});
                         std::memcpy(buffer, from.bytes.data() + from.at, got);
                         from.at += got;
                         return static_cast<std::int64_t>(got);
                     },
                     &pieces};
    return source;
}

}  // namespace kp::test
