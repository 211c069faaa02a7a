// libFuzzer target: the bytes are an update file; everything an archive can reach runs.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "archive/update_archive.h"
#include "extract/extraction.h"
#include "report/reports.h"
#include "support/capture.h"

namespace {

void run_everything(const std::string& bytes, kp::ColourMode colour, bool terminal) {
    kp::test::LoadedArchive loaded(bytes, colour, terminal);
    kp::UpdateArchive& archive = loaded.archive;
    kp::print_version_summary(archive);
    kp::print_directory_listing(archive);
    kp::print_signature_groups(archive);
    std::istringstream data(bytes);
    for (const kp::EntryRecord& entry : archive.entries) {
        const auto index = static_cast<kp::i32>(entry.record.index);
        data.clear();  // a failed read before must not fail this one
        if (kp::EntryRecord* found = kp::load_entry_data(archive, data, index)) found->data.reset();
        kp::is_safe_entry_name(kp::record_text(entry.record.name));
    }
    loaded.capture.text();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    run_everything(bytes, kp::ColourMode::ansi, true);
    run_everything(bytes, kp::ColourMode::off, false);
    return 0;
}
