// kp_open_path_at and kp_open_fd_at: an update file inside another, opened where it
// begins, is to a caller what a copy of its own bytes is, but for kp_header's offset.
#include <gtest/gtest.h>

#include <kpupdate.h>

#include <fcntl.h>

#include <memory>
#include <string>
#include <thread>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "archive_builder.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using Handle = std::unique_ptr<kp_archive, decltype(&kp_close)>;
using test::random_bytes;

std::string taken(kp_archive* archive, char* document) {
    if (document == nullptr) return std::string("no document: ") + kp_reason(archive) + "\n";
    std::string text = document;
    kp_free(document);
    return text + "\n";
}

// What a caller learns of the update file open in `archive`, its name `file` made FILE:
// the header but its offset, each entry with the digests of its bytes, the document and
// the test's findings.
std::string picture(kp_archive* archive, const std::string& file) {
    kp_header header{};
    header.struct_size = sizeof header;
    if (kp_get_header(archive, &header) != KP_OK) return kp_reason(archive);
    std::string seen = std::string(header.version, header.version_length) + " " + std::to_string(header.file_count) +
                       " " + std::to_string(header.data_start) + " " + std::to_string(header.end) + " " +
                       std::to_string(header.used_size) + " " + std::to_string(header.chunk_sum) + " " +
                       std::to_string(header.length) + " cut " + std::to_string(header.cut) + "\n";
    for (uint32_t at = 0; at < kp_entry_count(archive); ++at) {
        kp_entry entry{};
        entry.struct_size = sizeof entry;
        EXPECT_EQ(kp_get_entry(archive, at, &entry), KP_OK);
        seen += std::string(entry.name, entry.name_length) + " " + std::to_string(entry.offset) + " " +
                std::to_string(entry.size) + ":";
        char hex[65];
        seen += kp_sha256(archive, at, 0, hex) == KP_OK ? std::string(hex) : kp_reason(archive);
        seen += "\n";
    }
    char* document = nullptr;
    kp_json(archive, &document, nullptr);
    seen += taken(archive, document);
    document = nullptr;
    kp_test(archive, &document);
    seen += taken(archive, document);
    return test::replaced(seen, file, "FILE");
}

// A pipe that `bytes` are written into by a thread of its own, for a reader at `read`.
struct Pipe {
    int read = -1;
    std::thread writer;
    explicit Pipe(std::string bytes) {
        int ends[2] = {-1, -1};
#ifdef _WIN32
        EXPECT_EQ(_pipe(ends, 1 << 16, _O_BINARY), 0);
#else
        EXPECT_EQ(pipe(ends), 0);
#endif
        read = ends[0];
        writer = std::thread([out = ends[1], bytes = std::move(bytes)] {
            // What follows the update file is small enough for the pipe to hold unread.
            for (std::size_t done = 0; done < bytes.size();) {
                const auto wrote = ::write(out, bytes.data() + done, static_cast<unsigned>(bytes.size() - done));
                if (wrote <= 0) break;
                done += static_cast<std::size_t>(wrote);
            }
            ::close(out);
        });
    }
    ~Pipe() {
        writer.join();
        ::close(read);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
};

enum class Opened : unsigned char { path, descriptor, pipe };

TEST(Library, OpensAnUpdateFileAtItsOffsetAsItsCarvedCopy) {
    test::TempDir dir;
    const std::string sample = build::bytes(build::sample());
    const struct {
        const char* what;
        std::string before;
        std::string update_file;  // the carved copy: what follows the offset, to the end of its own bytes
        std::string after;
        std::uint64_t offset;
        Opened how;
    } cases[] = {
        {"on a chunk, by path", random_bytes(0x1f400, 1), sample, random_bytes(3000, 2), 0x1f400, Opened::path},
        {"on no chunk, by descriptor", random_bytes(777, 3), sample, random_bytes(100, 4), 777, Opened::descriptor},
        {"from a pipe", random_bytes(777, 5), sample, random_bytes(100, 6), 777, Opened::pipe},
        {"at 0, with bytes after it", "", sample, random_bytes(100, 7), 0, Opened::path},
        {"cut short by the end of the file", random_bytes(1000, 8), sample.substr(0, 20000), "", 1000, Opened::path},
        {"cut short by the end of a pipe", random_bytes(1000, 8), sample.substr(0, 20000), "", 1000, Opened::pipe},
        {"past the end of the file", random_bytes(300, 9), "", "", 1000, Opened::descriptor},
        {"past the end of a pipe", random_bytes(300, 9), "", "", 1000, Opened::pipe},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string whole = c.before + c.update_file + c.after;
        test::write_file(dir.file("dump.bin"), whole);
        test::write_file(dir.file("carved.update"), c.update_file);
        const Handle in_place(kp_new(), kp_close);
        const Handle carved(kp_new(), kp_close);
        int status[2] = {0, 0};
        std::string pictures[2];
        if (c.how == Opened::path) {
            status[0] = kp_open_path_at(in_place.get(), dir.file("dump.bin").c_str(), c.offset);
            status[1] = kp_open_path(carved.get(), dir.file("carved.update").c_str());
            pictures[0] = picture(in_place.get(), dir.file("dump.bin"));
            pictures[1] = picture(carved.get(), dir.file("carved.update"));
        } else if (c.how == Opened::descriptor) {
            const int fds[2] = {::open(dir.file("dump.bin").c_str(), O_RDONLY),
                                ::open(dir.file("carved.update").c_str(), O_RDONLY)};
            status[0] = kp_open_fd_at(in_place.get(), fds[0], c.offset);
            status[1] = kp_open_fd(carved.get(), fds[1]);
            pictures[0] = picture(in_place.get(), "descriptor " + std::to_string(fds[0]));
            pictures[1] = picture(carved.get(), "descriptor " + std::to_string(fds[1]));
            ::close(fds[0]);
            ::close(fds[1]);
        } else {
            const Pipe pipes[2] = {Pipe(whole), Pipe(c.update_file)};
            status[0] = kp_open_fd_at(in_place.get(), pipes[0].read, c.offset);
            status[1] = kp_open_fd(carved.get(), pipes[1].read);
            EXPECT_EQ(kp_is_stream(in_place.get()), kp_is_stream(carved.get()));
            pictures[0] = picture(in_place.get(), "descriptor " + std::to_string(pipes[0].read));
            pictures[1] = picture(carved.get(), "descriptor " + std::to_string(pipes[1].read));
        }
        EXPECT_EQ(status[0], status[1]);
        EXPECT_EQ(pictures[0], pictures[1]);
        kp_header header{};
        header.struct_size = sizeof header;
        if (kp_get_header(in_place.get(), &header) == KP_OK) {
            EXPECT_EQ(header.offset, c.offset);
            ASSERT_EQ(kp_get_header(carved.get(), &header), KP_OK);
            EXPECT_EQ(header.offset, 0u) << "opened from its start";
        }
    }
}

}  // namespace
}  // namespace kp
