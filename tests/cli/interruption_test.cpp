// What an interruption of the binary leaves of a file put under the target: the old file
// or the new one complete, never a temporary; a signal it was started ignoring left so.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "archive_builder.h"
#include "cli/portable_runs.h"
#include "fs/files_support.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::entry;
using test::read_file;
using test::run_portable;
using test::TempDir;
using test::write_file;

#ifndef _WIN32

// a.update, sparse, with one 256 MiB entry big.bin: long enough to write that a signal
// meets it mid-way; and the empty target out.
void write_big_update(const TempDir& dir) {
    build::Archive plan;
    plan.with_data = false;
    plan.entries = {entry("big.bin", 1, 256u << 20)};
    write_file(dir.file("a.update"), build::bytes(plan));
    fs::resize_file(dir.file("a.update"), 512 + (std::uintmax_t{256} << 20));
    fs::create_directory(dir.file("out"));
}

// Interrupted at any moment by any signal that ends a process, or stopped by a file-size
// limit, the run leaves the old file and no other: killed by the signal, or done when it
// came too late, or failed with "File too large". Where there was no old file, the new one
// is made at its name at once, and is gone again unless complete.
TEST(Interruption, LeavesNoTemporaryFileAndTheOldTarget) {
    std::mt19937 random(std::random_device{}());
    constexpr int file_size_limit = 0;  // in place of a signal: RLIMIT_FSIZE below the file's size
    for (const auto& [portable, fresh] : {std::pair{false, false}, {true, false}, {false, true}}) {
        for (const int signal_number :
             {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, file_size_limit}) {
            SCOPED_TRACE(std::to_string(signal_number) + (portable ? ", portable" : "") + (fresh ? ", fresh" : ""));
            TempDir dir;
            write_big_update(dir);
            if (!fresh) write_file(dir.file("out/big.bin"), "old");
            const int delay = std::uniform_int_distribution<int>(5, 80)(random);
            const std::vector<std::string> args = {"-qa", "-C", dir.file("out"), dir.file("a.update")};
            test::ToolRun run;
            if (portable) {
                const pid_t child = ::fork();
                if (child == 0) {
                    const rlimit no_core{0, 0};
                    ::setrlimit(RLIMIT_CORE, &no_core);
                    const rlimit limit{1 << 20, 1 << 20};
                    if (signal_number == file_size_limit) ::setrlimit(RLIMIT_FSIZE, &limit);
                    _exit(run_portable(args).status);
                }
                if (signal_number != file_size_limit) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                    ::kill(child, signal_number);
                }
                int status = 0;
                ::waitpid(child, &status, 0);
                run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            } else {
                test::ToolOptions options;
                options.interrupt_signal = signal_number;
                options.interrupt_after_ms = delay;
                if (signal_number == file_size_limit) options.file_size_limit = 1 << 20;
                run = test::run_tool(args, options);
            }
            if (fresh && test::tree(dir.file("out")).empty()) {
                EXPECT_TRUE(run.signal == signal_number || (signal_number == file_size_limit && run.status == 255));
                continue;
            }
            EXPECT_EQ(test::tree(dir.file("out")), std::vector<std::string>{"big.bin"});
            const std::uintmax_t size = fs::file_size(dir.file("out/big.bin"));
            if (signal_number == file_size_limit) {
                EXPECT_FALSE(fresh) << "a file cut short by the limit is left";
                EXPECT_EQ(run.signal, 0);
                EXPECT_EQ(run.status, 255);
                EXPECT_EQ(read_file(dir.file("out/big.bin")), "old");
            } else if (run.signal != 0) {
                // Before the new file took the name, the old one stays; a signal that comes
                // after, as the run ends, finds the new one complete in its place.
                EXPECT_EQ(run.signal, signal_number);
                EXPECT_TRUE(size == 3 && !fresh ? read_file(dir.file("out/big.bin")) == "old" : size == 256u << 20);
            } else {
                EXPECT_EQ(run.status, 0);
                EXPECT_EQ(size, 256u << 20);
            }
        }
    }
}

// A signal ignored when the run began, as nohup ignores SIGHUP, stays ignored.
TEST(Interruption, LeavesAnIgnoredSignalIgnored) {
    TempDir dir;
    write_big_update(dir);
    test::ToolOptions options;
    options.ignored_signal = SIGHUP;
    options.interrupt_signal = SIGHUP;
    options.interrupt_after_ms = 20;
    const test::ToolRun run = test::run_tool({"-qa", "-C", dir.file("out"), dir.file("a.update")}, options);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(fs::file_size(dir.file("out/big.bin")), 256u << 20);
}

#endif

}  // namespace
}  // namespace kp
