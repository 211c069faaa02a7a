// Runs of the binary beside another writer in the target: a second run making the same
// tree, or a racer swapping its directories for links that lead outside.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#endif

#include "archive_builder.h"
#include "fs/files_support.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::entry;
using test::read_file;
using test::TempDir;
using test::write_file;

#ifndef _WIN32

// Two runs making the same new tree at once both succeed: a directory the other made
// meanwhile is as good as one made here, and each file is one run's whole bytes.
TEST(ConcurrentWriter, TwoRunsMakeOneTree) {
    TempDir dir;
    build::Archive plan;
    for (std::uint32_t i = 0; i < 401; ++i) {  // not a multiple of 4: entry 0 starts with its own bytes
        const std::string at =
            "t" + std::to_string(i % 7) + "/u" + std::to_string(i % 13) + "/v" + std::to_string(i % 3);
        plan.entries.push_back(entry(at + "/f" + std::to_string(i), i, 100, "file " + std::to_string(i)));
    }
    write_file(dir.file("a.update"), build::bytes(plan));
    fs::create_directory(dir.file("out"));
    const std::vector<std::string> args = {"-qa", "--trim", "-C", dir.file("out"), dir.file("a.update")};
    test::ToolRun first;
    std::thread other([&] { first = test::run_tool(args); });
    const test::ToolRun second = test::run_tool(args);
    other.join();
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(second.status, 0) << second.err;
    for (std::uint32_t i = 0; i < 401; i += 37) {
        const build::Entry& e = plan.entries[i];
        EXPECT_EQ(read_file(dir.file("out/" + e.name)).substr(0, e.data.size()), e.data);
    }
    std::size_t files = 0;
    for (const std::string& path : test::tree(dir.file("out"))) files += fs::is_regular_file(dir.file("out/" + path));
    EXPECT_EQ(files, 401u);
}

// However a racer swaps the target's directories for links that lead outside, no run writes there.
TEST(ConcurrentWriter, CannotLeadAFileOutsideTheTarget) {
    TempDir dir;
    build::Archive plan;
    for (std::uint32_t i = 0; i < 3000; ++i) plan.entries.push_back(entry("d/s/f" + std::to_string(i), i, 64));
    write_file(dir.file("a.update"), build::bytes(plan));
    fs::create_directories(dir.file("outside"));
    const std::string out = dir.file("out");
    fs::create_directories(out + "/d/s");
    fs::create_directory_symlink(dir.file("outside"), out + "/d/link");
    fs::create_directory_symlink(dir.file("outside"), out + "/link");
    if (::renameat2(AT_FDCWD, (out + "/d/s").c_str(), AT_FDCWD, (out + "/d/link").c_str(), RENAME_EXCHANGE) != 0) {
        GTEST_SKIP() << "no renameat2(RENAME_EXCHANGE) here";
    }
    std::atomic<bool> stop = false;
    std::thread swapper([&] {
        for (unsigned i = 0; !stop; ++i) {
            const bool deep = i % 4 != 0;  // mostly d/s, now and then d itself
            const std::string a = out + (deep ? "/d/s" : "/d");
            const std::string b = out + (deep ? "/d/link" : "/link");
            ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
        }
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int runs = 0;
    while (std::chrono::steady_clock::now() < until || runs < 3) {
        const test::ToolRun run = test::run_tool({"-qa", "-C", out, dir.file("a.update")});
        EXPECT_TRUE(run.status == 0 || run.status == 255) << run.status;
        EXPECT_TRUE(fs::is_empty(dir.file("outside"))) << "after run " << runs;
        ++runs;
        if (!fs::is_empty(dir.file("outside"))) break;
    }
    stop = true;
    swapper.join();
}

#endif

}  // namespace
}  // namespace kp
