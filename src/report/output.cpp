#include "report/output.h"

namespace kp {

void output_progress_begin(Output& output, u64 bytes, u64 entries) {
    progress_begin(output.progress, output.progress_when, bytes, entries);
}

void output_progress_copied(void* output, u64 bytes) {
    progress_add_bytes(static_cast<Output*>(output)->progress, bytes);
}

void output_progress_entry(Output& output) {
    progress_add_file(output.progress);
}

}  // namespace kp
