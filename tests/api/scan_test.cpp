// The library's scan, from a path, a descriptor and a read function, against what the
// command line's --scan --json prints of the same blob.
#include <gtest/gtest.h>

#include <kpupdate.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "support/run_tool.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kp {
namespace {

using Handle = std::unique_ptr<kp_archive, decltype(&kp_close)>;

std::string blob() {
    build::Archive archive;
    archive.version = "lib scan";
    archive.entries.push_back({"a/b.bin", 1, 3000, {}, "b"});
    archive.entries.push_back({"c.bin", 2, 10, {}, "c"});
    const std::string bytes = build::bytes(archive);
    return std::string(777, 'q') + bytes + std::string(5, 'r') + bytes + bytes.substr(0, 700);
}

struct Collected {
    nlohmann::json found = nlohmann::json::array();
    std::size_t stop_after = 0;  // 0: never
};

int collect(void* context, const kp_scan_hit* hit) {
    auto& collected = *static_cast<Collected*>(context);
    EXPECT_EQ(hit->struct_size, sizeof(kp_scan_hit));
    collected.found.push_back({{"offset", hit->offset},
                               {"end", hit->end},
                               {"file_count", hit->file_count},
                               {"version", std::string(hit->version, hit->version_length)},
                               {"cut", hit->cut != 0},
                               {"within", hit->inside != 0 ? nlohmann::json(hit->within) : nlohmann::json()},
                               {"weak", hit->weak != 0}});
    return collected.stop_after != 0 && collected.found.size() >= collected.stop_after ? 1 : 0;
}

struct Stream {
    std::string bytes;
    std::size_t at = 0;
    std::size_t fail_at = std::string::npos;  // a read from here fails with EIO
};

ptrdiff_t read_stream(void* context, void* buffer, std::size_t size) {
    auto& stream = *static_cast<Stream*>(context);
    if (stream.at >= stream.fail_at) {
        errno = EIO;
        return -1;
    }
    const std::size_t count = std::min({size, std::size_t{1000}, stream.bytes.size() - stream.at});
    std::memcpy(buffer, stream.bytes.data() + stream.at, count);
    stream.at += count;
    return static_cast<ptrdiff_t>(count);
}

TEST(LibraryScan, FindsWhatTheCommandLineFinds) {
    test::TempDir dir;
    const std::string bytes = blob();
    test::write_file(dir.file("blob.bin"), bytes);
    const test::ToolRun run = test::run_tool({"--scan", "--json", dir.file("blob.bin")});
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json expected = nlohmann::json::parse(run.out)["scan"]["found"];
    ASSERT_EQ(expected.size(), 3u);

    Handle handle(kp_new(), kp_close);
    Collected by_path;
    std::uint64_t size = 0;
    EXPECT_EQ(kp_scan_path(handle.get(), dir.file("blob.bin").c_str(), 0, collect, &by_path, &size), KP_OK);
    EXPECT_EQ(by_path.found, expected);
    EXPECT_EQ(size, bytes.size());

#ifndef _WIN32
    Collected by_descriptor;
    const int fd = ::open(dir.file("blob.bin").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(kp_scan_fd(handle.get(), fd, 0, collect, &by_descriptor, nullptr), KP_OK);
    ::close(fd);
    EXPECT_EQ(by_descriptor.found, expected);
#endif

    Collected by_stream;
    Stream stream{bytes};
    EXPECT_EQ(kp_scan_stream(handle.get(), read_stream, &stream, KP_SCAN_WEAK, collect, &by_stream, &size), KP_OK);
    EXPECT_EQ(by_stream.found, expected);

    // The caller's function ends the scan, as a success.
    Collected first;
    first.stop_after = 1;
    EXPECT_EQ(kp_scan_path(handle.get(), dir.file("blob.bin").c_str(), 0, collect, &first, nullptr), KP_OK);
    EXPECT_EQ(first.found, nlohmann::json::array({expected[0]}));
}

TEST(LibraryScan, SaysWhyAScanFailed) {
    test::TempDir dir;
    Handle handle(kp_new(), kp_close);
    Collected collected;
    EXPECT_EQ(kp_scan_path(handle.get(), dir.file("none").c_str(), 0, collect, &collected, nullptr), KP_ERROR_SYSTEM);
#ifndef _WIN32  // the Windows build gives no errno for a path that does not open
    EXPECT_EQ(kp_system_error(handle.get()), ENOENT);
#endif
    EXPECT_EQ(kp_scan_path(handle.get(), dir.file("none").c_str(), 4, collect, &collected, nullptr), KP_ERROR_ARGUMENT);
    EXPECT_STREQ(kp_reason(handle.get()), "a flag the scan does not know");
    EXPECT_EQ(kp_scan_stream(handle.get(), nullptr, nullptr, 0, collect, &collected, nullptr), KP_ERROR_ARGUMENT);
    EXPECT_EQ(kp_scan_path(nullptr, "x", 0, collect, &collected, nullptr), KP_ERROR_ARGUMENT);

    // A read that fails stops the scan after the hits before it.
    Stream stream{blob() + std::string(std::size_t{6} << 20, 'z'), 0, 5000000};
    std::uint64_t size = 0;
    EXPECT_EQ(kp_scan_stream(handle.get(), read_stream, &stream, 0, collect, &collected, &size), KP_ERROR_SYSTEM);
    EXPECT_EQ(kp_system_error(handle.get()), EIO);
    EXPECT_EQ(size, 5000000u);
    EXPECT_EQ(collected.found.size(), 3u);
    EXPECT_NE(std::string(kp_reason(handle.get())).find("-: the scan stopped after 5000000 bytes: "), std::string::npos)
        << kp_reason(handle.get());

    // What the handle held stays open.
    test::write_file(dir.file("one.update"), build::bytes(build::sample()));
    ASSERT_EQ(kp_open_path(handle.get(), dir.file("one.update").c_str()), KP_OK);
    EXPECT_EQ(kp_scan_path(handle.get(), dir.file("none").c_str(), 0, collect, &collected, nullptr), KP_ERROR_SYSTEM);
    EXPECT_EQ(kp_entry_count(handle.get()), build::sample().entries.size());
}

}  // namespace
}  // namespace kp
