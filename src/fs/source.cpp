#include "fs/source.h"

#include "fs/stream.h"

namespace kp {

bool finish_source(SourceFile& source, u64 end) {
    return !source.stream || skip_stream(source, end);
}

bool start_source_at(SourceFile& source, u64 offset) {
    source.base += offset;
    if (source.stream) return drop_stream_start(source, offset);
    source.length = source.length > offset ? source.length - offset : 0;
    source.limit = source.length;  // as a copy of its bytes from there would end
    return true;
}

void end_source_at(SourceFile& source, u64 end) {
    source.limit = std::min(source.limit, end);
    if (source.stream) return drop_past_limit(source);
    source.length = std::min(source.length, end);
}

}  // namespace kp
