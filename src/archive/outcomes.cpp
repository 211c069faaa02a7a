#include "archive/outcomes.h"

namespace kp {

u64 short_by(const IntegrityReport& report) {
    return report.declared_end > report.file_length ? report.declared_end - report.file_length : 0;
}

std::size_t note_count(const IntegrityReport& report) {
    return (report.trailing_bytes != 0 ? 1 : 0) + report.refused.size() + report.repeated_indexes.size() +
           report.repeated_names.size();
}

}  // namespace kp
