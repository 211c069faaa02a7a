#include "report/output.h"

namespace kp {

void output_to_stderr(Output& output, const std::string& text) {
    progress_clear(output.progress);
    console_to_stderr(*output.console, "kpupdate: " + text + "\n");
}

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
