// libFuzzer target: the bytes are an update file; everything an archive can reach runs,
// but for extraction into files, which containment_fuzzer checks. Read from a pipe, the
// bytes must give the document that the file gives.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include <csignal>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "archive/update_archive.h"
#include "cli/driver.h"
#include "fs/stream.h"
#include "ops/extraction.h"
#include "ops/integrity.h"
#include "ops/names.h"
#include "report/integrity_output.h"
#include "report/json.h"
#include "report/reports.h"
#include "support/capture.h"

namespace {

void run_everything(const std::string& bytes, kp::ColourMode colour, bool terminal) {
    kp::test::LoadedArchive loaded(bytes, colour, terminal);
    kp::UpdateArchive& archive = loaded.archive;
    kp::ConsoleOutput& console = loaded.capture.console;
    kp::print_version_summary(console, archive);
    kp::print_directory_listing(console, archive);
    kp::print_signature_groups(console, archive);
    kp::Selection selection;
    selection.all = true;
    for (const kp::EntryRecord& entry : archive.entries) {
        selection.index = static_cast<kp::i32>(entry.record.index);
        selection.names.emplace_back(kp::record_text(entry.record.name));
        const kp::ByteRange range = kp::written_bytes(entry, entry.record.size % 2 == 0);
        if (range.lies_within(bytes.size()) != (range.past(bytes.size()) == 0)) __builtin_trap();
        kp::is_safe_entry_name(kp::record_text(entry.record.name), kp::NameRules::posix);
        kp::is_safe_entry_name(kp::record_text(entry.record.name), kp::NameRules::windows);
    }
    kp::select_entries(archive, selection);

    // The JSON document for every input, with its test findings, and the findings as text.
    const kp::IntegrityReport report = kp::check_integrity(archive, bytes.size(), kp::NameRules::windows);
    kp::JsonWriter json;
    kp::json_begin_object(json);
    if (archive.loaded) {
        kp::json_archive_fields(json, "fuzz.update", archive, nullptr, nullptr);
        kp::json_key(json, "test");
        kp::json_integrity(json, archive, report);
        kp::print_integrity(console, archive, report);
    }
    kp::json_end_object(json, 0);
    if (!nlohmann::json::accept(json.text)) std::abort();
    loaded.capture.text();
}

// The bytes as a file, for what reads the update file itself; removed at exit.
struct InputFile {
    std::filesystem::path path;
    ~InputFile() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove(path, ignored);
    }
} input_file;
const std::filesystem::path& input = input_file.path;

// What `kpupdate [--json] -t -O -a [--padded] FILE` prints, standard output discarded, with
// the bytes as a file or fed into standard input as a pipe (shown under the file's name,
// which the bytes may hold too, so that the outputs compare as they are). `wraps`: the
// directory's chunks wrap past 4 GiB, so that a later entry's bytes lie before an
// earlier one's, which a stream may have passed.
std::string document(const std::string& bytes, bool json, bool padded, bool piped, bool& wraps) {
    kp::Options options;
    options.json = json;
    options.test = true;
    options.to_stdout = true;
    options.all = true;
    options.padded = padded;
    const std::string file = input.string();
    options.file = file.c_str();
    kp::UpdateArchive archive;
    kp::test::CapturedConsole capture;
    kp::RunInputs inputs;
    if (!piped) {
        kp::open_inputs(options, "", inputs);
        kp::open_file_input(options, inputs);
        kp::run_program(archive, capture.console, options, inputs);
        kp::close_inputs(inputs);
        wraps = archive.loaded && kp::archive_end(archive) > 0xFFFFFFFFu;
        return capture.text();
    }
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0 || ::dup2(pipe_fds[0], STDIN_FILENO) < 0) std::abort();
    ::close(pipe_fds[0]);
    std::thread writer([&bytes, out = pipe_fds[1]] {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t written = ::write(out, bytes.data() + done, bytes.size() - done);
            if (written <= 0) break;  // the program stopped reading
            done += static_cast<std::size_t>(written);
        }
        ::close(out);
    });
    kp::open_inputs(options, "", inputs);
    inputs.file_kind = kp::open_input(inputs.file, "-", {}, false, inputs.file_error);
    if (inputs.file_kind != kp::InputKind::stream) std::abort();
    kp::run_program(archive, capture.console, options, inputs);
    kp::close_inputs(inputs);
    const int nothing = ::open("/dev/null", O_RDONLY);  // the pipe's last reader goes: the writer ends
    ::dup2(nothing, STDIN_FILENO);
    ::close(nothing);
    writer.join();
    return capture.text();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::filesystem::path base =
        ::access("/dev/shm", W_OK) == 0 ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path();
    input_file.path = base / ("kpupdate-fuzz-" + std::to_string(::getpid()) + ".update");
    const int discard = ::open("/dev/null", O_WRONLY);
    if (discard < 0 || ::dup2(discard, STDOUT_FILENO) < 0) std::abort();  // libFuzzer reports on stderr
    ::close(discard);
    std::signal(SIGPIPE, SIG_IGN);  // a pipe the program stops reading fails the writer's write
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    run_everything(bytes, kp::ColourMode::ansi, true);
    run_everything(bytes, kp::ColourMode::off, false);
    std::ofstream(input, std::ios::binary | std::ios::trunc) << bytes;
    for (const bool json : {false, true}) {
        for (const bool padded : {false, true}) {
            bool wraps = false;
            const std::string from_file = document(bytes, json, padded, false, wraps);
            if (from_file != document(bytes, json, padded, true, wraps) && !wraps) std::abort();
        }
    }
    return 0;
}
