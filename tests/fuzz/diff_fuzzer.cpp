// libFuzzer target: comparing an update file with a mutated copy of itself is symmetric.
// What one side adds the other removes, the same files change either way round, with
// the same fields, and as many are the same; the new side read from a pipe gives what
// the file gives; nothing crashes or leaks. The input's first byte picks the byte of the
// copy that changes and how.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "archive/update_archive.h"
#include "fs/stream.h"
#include "ops/compare.h"
#include "ops/extraction.h"
#include "ops/integrity.h"

namespace {

namespace fs = std::filesystem;

fs::path scratch;

void write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Each side's latest entry of every file, as --diff compares them.
std::vector<kp::u32> latest(const kp::UpdateArchive& archive) {
    kp::Selection all;
    all.all = true;
    return kp::select_entries(archive, all).positions;
}

std::multiset<std::string> names(const std::vector<kp::DiffEntry>& entries) {
    std::multiset<std::string> found;
    for (const kp::DiffEntry& entry : entries) found.insert(entry.name);
    return found;
}

// An update file read from its path, as the program reads one.
struct Side {
    kp::UpdateArchive archive;
    kp::SourceFile source;
    explicit Side(const fs::path& path) {
        if (kp::open_source(source, path)) loaded = kp::load_archive(archive, source, problem);
    }
    ~Side() { kp::close_source(source); }
    Side(const Side&) = delete;
    Side& operator=(const Side&) = delete;
    kp::i32 loaded = -1;
    kp::LoadProblem problem;
};

// What the comparison of `bytes`, fed through a pipe as the new side, with `old` finds.
kp::DiffReport from_pipe(const std::string& bytes, Side& old) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) std::abort();
    std::thread writer([&bytes, out = pipe_fds[1]] {
        // In pieces of odd sizes, so that reads come back short at every kind of place.
        for (std::size_t done = 0, piece = 1; done < bytes.size(); piece = piece * 7 % 65521 + 1) {
            const ssize_t written = ::write(out, bytes.data() + done, std::min(piece, bytes.size() - done));
            if (written <= 0) break;  // the reader stopped reading
            done += static_cast<std::size_t>(written);
        }
        ::close(out);
    });
    kp::SourceFile stream;
    stream.handle = pipe_fds[0];
    stream.stream = true;
    stream.length = kp::unknown_length;
    kp::UpdateArchive fresh;
    kp::DiffReport report;
    kp::LoadProblem problem;
    if (kp::load_archive(fresh, stream, problem) > 0) {
        kp::compare_archives(fresh, latest(fresh), stream, old.archive, latest(old.archive), old.source, report);
    }
    kp::close_source(stream);  // the writer's last write fails, and it ends
    writer.join();
    return report;
}

void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "diff: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const fs::path base = ::access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
    scratch = base / ("kpupdate-diff-" + std::to_string(::getpid()));
    fs::create_directories(scratch);
    std::signal(SIGPIPE, SIG_IGN);  // a pipe its reader closed fails the writer's write instead
    std::atexit([] {
        std::error_code ignored;
        fs::remove_all(scratch, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::string original(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string mutated = original;
    const std::size_t at = (data[0] * 131u) % mutated.size();
    mutated[at] = static_cast<char>(mutated[at] ^ (1 + data[0] % 255));
    write(scratch / "a.update", original);
    write(scratch / "b.update", mutated);

    Side a_side(scratch / "a.update");
    Side b_side(scratch / "b.update");
    if (a_side.loaded < 0 || b_side.loaded < 0) return 0;
    const kp::UpdateArchive& a = a_side.archive;
    kp::DiffReport forward;
    kp::DiffReport backward;
    kp::compare_archives(a, latest(a), a_side.source, b_side.archive, latest(b_side.archive), b_side.source, forward);
    kp::compare_archives(b_side.archive, latest(b_side.archive), b_side.source, a, latest(a), a_side.source, backward);
    // A stream cannot go back to an entry whose chunk wraps before one read earlier.
    if (kp::archive_end(a) <= 0xFFFFFFFFu) {
        const kp::DiffReport piped = from_pipe(original, b_side);
        check(piped.same == forward.same && piped.changed.size() == forward.changed.size() &&
                  names(piped.added) == names(forward.added) && names(piped.removed) == names(forward.removed) &&
                  piped.damaged.size() == forward.damaged.size(),
              "the new side from a pipe compares otherwise than from its file");
    }
    check(names(forward.added) == names(backward.removed), "added one way, not removed the other");
    check(names(forward.removed) == names(backward.added), "removed one way, not added the other");
    check(forward.same == backward.same, "not as many the same either way");
    check(forward.changed.size() == backward.changed.size(), "not as many changed either way");
    for (const kp::DiffEntry& change : forward.changed) {
        const auto other = std::find_if(backward.changed.begin(), backward.changed.end(), [&](const kp::DiffEntry& e) {
            return e.old_position == change.position && e.position == change.old_position;
        });
        check(other != backward.changed.end(), "changed one way only");
        check(other->index_differs == change.index_differs && other->size_differs == change.size_differs &&
                  other->signatures == change.signatures && other->bytes_differ == change.bytes_differ,
              "changed differently either way");
    }
    check(forward.version_differs == backward.version_differs, "the version differs one way only");
    check(forward.damaged.size() == backward.damaged.size(), "not as much damage either way");
    return 0;
}
