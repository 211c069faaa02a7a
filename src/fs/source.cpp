#include "fs/source.h"

#include "fs/stream.h"

namespace kp {

bool finish_source(SourceFile& source, u64 end) {
    return !source.stream || skip_stream(source, end);
}

}  // namespace kp
