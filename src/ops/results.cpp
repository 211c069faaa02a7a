#include "ops/results.h"

namespace kp {

u64 short_by(const IntegrityReport& report) {
    return report.declared_end > report.file_length ? report.declared_end - report.file_length : 0;
}

std::size_t note_count(const IntegrityReport& report) {
    return (report.region_in_directory ? 1 : 0) + (report.trailing_bytes != 0 ? 1 : 0) + report.refused.size() +
           report.repeated_indexes.size() + report.repeated_names.size();
}

bool anything_missing(const SelectionMisses& missing) {
    return !missing.names.empty() || !missing.members.empty() || !missing.patterns.empty() ||
           !missing.indexes.empty() || !missing.positions.empty();
}

bool sides_differ(const DiffReport& report) {
    return report.version_differs || !report.added.empty() || !report.removed.empty() || !report.changed.empty() ||
           !report.extra.empty();
}

}  // namespace kp
