// Files put under the target: what replaces what, what an interruption leaves, the
// portable ways, and a concurrent writer inside the target.
#include "fs/files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "archive_builder.h"
#include "cli/driver.h"
#include "fs/copy.h"
#include "fs/file_path.h"
#include "fs/interruptions.h"
#include "fs/new_files.h"
#include "fs/testing.h"
#include "ops/extraction.h"
#include "ops/names.h"
#include "support/capture.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::TempDir;
using test::write_file;

build::Entry entry(std::string name, std::uint32_t index, std::uint32_t size, std::string data = "") {
    return {std::move(name), index, size, {index, 0, 0, 0}, std::move(data)};
}

// `kpupdate ARGS...` in this process, with one way of the file calls forced on (the
// portable ones by default), and the messages it printed: the reasons on standard error
// as `err`, the rest as `out`.
test::ToolRun run_portable(const std::vector<std::string>& args, void (*force)(bool) = use_portable_file_calls) {
    std::vector<std::string> words = {"kpupdate"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    Options options;
    EXPECT_EQ(parse_options(options, static_cast<int>(argv.size()), argv.data()), "");
    UpdateArchive archive;
    test::CapturedConsole capture;
    force(true);
    test::ToolRun run;
    RunInputs inputs;
    EXPECT_EQ(open_inputs(options, "", inputs).usage, "");
    open_file_input(options, inputs);
    run.status = run_program(archive, capture.console, options, inputs) & 0xFF;
    close_inputs(inputs);
    force(false);
    std::istringstream lines(capture.text());
    for (std::string line; std::getline(lines, line);)
        (line.starts_with("kpupdate: ") ? run.err : run.out) += line + "\n";
    return run;
}

// Each policy against a file, nothing and a directory where the entry goes, by the
// program and by the portable ways; a replaced file keeps its permission bits.
TEST(ExistingFiles, ReplaceKeepOrSkipAsAsked) {
    build::Archive plan;
    plan.entries = {entry("file.bin", 1, 10, "new file"), entry("none.bin", 2, 10, "new none"),
                    entry("dir.bin", 3, 10, "new dir")};
    const std::string archive = build::bytes(plan);
    const std::string error = "ERROR: could not extract file ";
    const struct {
        const char* option;
        int status;
        bool file_replaced;
        std::string out;
    } cases[] = {
        {nullptr, 255, true, error + "dir.bin.\n"},
        {"-k", 255, false, error + "file.bin.\n" + error + "dir.bin.\n"},
        {"--keep-old-files", 255, false, error + "file.bin.\n" + error + "dir.bin.\n"},
        {"--skip-old-files", 0, false, ""},
    };
    // By the program, the portable ways, links through /proc (a new name and a replaced
    // one), and replacing by an exchange of names on any file system.
    for (const auto force : {static_cast<void (*)(bool)>(nullptr), use_portable_file_calls, use_proc_links_only,
                             use_exchange_to_replace}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.option != nullptr ? c.option : "replace") +
                         (force == nullptr                   ? ""
                          : force == use_proc_links_only     ? ", /proc"
                          : force == use_exchange_to_replace ? ", exchange"
                                                             : ", portable"));
            TempDir dir;
            write_file(dir.file("a.update"), archive);
            fs::create_directories(dir.file("out/dir.bin"));
            write_file(dir.file("out/file.bin"), "old");
            fs::permissions(dir.file("out/file.bin"), fs::perms(0600));
            std::vector<std::string> args = {"-qa", "-C", dir.file("out"), dir.file("a.update")};
            if (c.option != nullptr) args.insert(args.begin(), c.option);
            test::ToolOptions options;
            options.cwd = dir.path();
            const test::ToolRun run = force != nullptr ? run_portable(args, force) : test::run_tool(args, options);
            EXPECT_EQ(run.status, c.status);
            EXPECT_EQ(run.out, c.out);
            EXPECT_EQ(read_file(dir.file("out/file.bin")).substr(0, 8), c.file_replaced ? "new file" : "old");
            EXPECT_EQ(read_file(dir.file("out/none.bin")).substr(0, 8), "new none");
            EXPECT_TRUE(fs::is_directory(dir.file("out/dir.bin")));
            EXPECT_EQ(test::tree(dir.path()),
                      (std::vector<std::string>{"a.update", "out", "out/dir.bin", "out/file.bin", "out/none.bin"}));
#ifndef _WIN32
            const auto mode_of = [&dir](const char* name) { return fs::status(dir.file(name)).permissions(); };
            EXPECT_EQ(mode_of("out/file.bin"), fs::perms(0600));
            const mode_t mask = ::umask(0);
            ::umask(mask);
            EXPECT_EQ(mode_of("out/none.bin"), fs::perms(0666 & ~mask));
#endif
        }
    }
}

// Names that lead to one file are written once, the latest; --test notes the others.
TEST(ExistingFiles, EquivalentNamesWriteOneFile) {
    build::Archive plan;
    plan.entries = {entry("x/y.bin", 1, 10, "one"), entry("x//y.bin", 2, 10, "two"), entry("x/./y.bin", 3, 10, "three"),
                    entry("./z.bin", 4, 10, "z")};
    // On Windows also one file whatever the case or the separator.
    const bool windows = native_name_rules() == NameRules::windows;
    if (windows) plan.entries.push_back(entry("X\\Y.BIN", 5, 10, "four"));
    const std::string winner = windows ? "4" : "2";
    std::string notes =
        windows ? ""
                : "note: the data region begins inside the directory: entry 0 starts with the last directory record.\n";
    for (std::size_t position = 0; position < (windows ? 3u : 2u); ++position) {
        notes += "note: entry " + std::to_string(position) + " (index " + std::to_string(position + 1) + ") " +
                 plan.entries[position].name + " is not written by --all: entry " + winner + " has its name too.\n";
    }
    const std::string summary =
        windows ? "OK: 5 files, no damage found; 3 notes.\n" : "OK: 4 files, no damage found; 3 notes.\n";
    TempDir dir;
    write_file(dir.file("a.update"), build::bytes(plan));
    fs::create_directory(dir.file("out"));
    test::ToolOptions options;
    options.cwd = dir.path();
    const test::ToolRun run = test::run_tool({"-qta", "-C", "out", "a.update"}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "\n--- Test of the file: ---\n" + notes + summary);
    const std::string written = windows ? "X/Y.BIN" : "x/y.bin";
    EXPECT_EQ(test::tree(dir.file("out")), (std::vector<std::string>{written.substr(0, 1), written, "z.bin"}));
    const std::string contents = windows ? "four" : "three";
    EXPECT_EQ(read_file(dir.file("out/" + written)).substr(0, contents.size()), contents);
    const nlohmann::json document =
        nlohmann::json::parse(test::run_tool({"--json", "-a", "-C", "out", "a.update"}, options).out);
    std::vector<int> extracted;
    for (const nlohmann::json& item : document.at("extracted")) extracted.push_back(item.at("position"));
    EXPECT_EQ(extracted, (windows ? std::vector<int>{3, 4} : std::vector<int>{2, 3}));
}

// The ways taken where the system offers no unnamed files and no kernel copies.
TEST(PortableFileCalls, FailWithoutLeavingATemporaryFile) {
    TempDir dir;
    build::Archive plan;
    plan.entries = {entry("a.bin", 1, 300000, "a")};
    const std::string archive = build::bytes(plan);
    write_file(dir.file("a.update"), archive);
    fs::create_directory(dir.file("out"));
    write_file(dir.file("out/a.bin"), "old");

    use_portable_file_calls(true);
    std::istringstream in(archive);
    UpdateArchive loaded;
    ASSERT_EQ(load_archive(loaded, in), 1);
    SourceFile source;
    ASSERT_TRUE(open_source(source, dir.file("a.update")));
    Extraction extraction;
    ExtractTarget target;
    target.directory = dir.file("out");
    target.root = open_target_directory(target.directory);
    extraction_begin(extraction, loaded, target, source);
    // Cut short after it was measured: the copy meets the end of the file.
    write_file(dir.file("a.update"), archive.substr(0, 100000));
    EXPECT_EQ(write_entry_file(extraction, loaded.entries[0]).problem.failure, EntryFailure::write);
    PendingFile file;
    ASSERT_TRUE(create_pending_file(file, extraction.walk.root, "b.bin"));
    EXPECT_FALSE(copy_range(*extraction.source, 100000 - 10, 20, file.handle));
    discard_pending_file(file);
    extraction_end(extraction);
    close_directory(target.root);
    close_source(source);
    use_portable_file_calls(false);
    EXPECT_EQ(read_file(dir.file("out/a.bin")), "old");
    EXPECT_EQ(test::tree(dir.file("out")), std::vector<std::string>{"a.bin"});
}

// Temporary names come from the system's random source: forty of one run are all
// distinct, 64 bits each, and none follows the one before as a seeded generator's would.
TEST(PortableFileCalls, TemporaryNamesCannotBeForetold) {
    TempDir dir;
    use_portable_file_calls(true);
    const FileHandle root = open_target_directory(dir.path());
    ASSERT_NE(root, no_file);
    std::vector<std::uint64_t> suffixes;
    bool wide = false;  // some suffix needs more than 32 bits
    for (int i = 0; i < 40; ++i) {
        PendingFile file;
        ASSERT_TRUE(create_pending_file(file, root, "a.bin"));
        const std::string name = path_text(file.temporary);
        discard_pending_file(file);
        ASSERT_TRUE(name.starts_with("a.bin.kpupdate-") && name.size() == 15 + 16) << name;
        ASSERT_EQ(name.find_first_not_of("0123456789abcdef", 15), std::string::npos) << name;
        suffixes.push_back(std::stoull(name.substr(15), nullptr, 16));
        wide = wide || suffixes.back() > 0xFFFFFFFFu;
    }
    close_directory(root);
    use_portable_file_calls(false);
    EXPECT_TRUE(wide);
    EXPECT_EQ(std::set<std::uint64_t>(suffixes.begin(), suffixes.end()).size(), suffixes.size());
    constexpr std::uint64_t modulus = 2147483647;  // the Lehmer generator's: x' = 48271 x mod (2^31 - 1)
    for (std::size_t i = 1; i < suffixes.size(); ++i) {
        EXPECT_NE(suffixes[i] % modulus, suffixes[i - 1] % modulus * 48271 % modulus);
    }
    EXPECT_TRUE(test::tree(dir.path()).empty());
}

// Appended to (`>>`), standard output takes no kernel copy: the bytes go through a buffer.
TEST(PortableFileCalls, AppendToStandardOutput) {
    if (!test::posix_child_controls) GTEST_SKIP() << "needs a POSIX child";
    TempDir dir;
    build::Archive plan;
    // From a pipe, a chunk past the stream's 256 KiB buffer is moved inside the kernel
    // where it can be, and through the buffer into a file opened for appending.
    plan.entries = {entry("a.bin", 1, 300000, "first"), entry("b.bin", 2, 1000, "second")};
    const std::string archive = build::bytes(plan);
    write_file(dir.file("a.update"), archive);
    for (const bool piped : {false, true}) {
        SCOPED_TRACE(piped ? "piped" : "file");
        write_file(dir.file("out.bin"), "before\n");
        test::ToolOptions options;
        options.stdout_append = dir.file("out.bin");
        if (piped) options.stdin_bytes = archive;
        EXPECT_EQ(test::run_tool({"-O", "-a", "--padded", piped ? "-" : dir.file("a.update")}, options).status, 0);
        EXPECT_EQ(read_file(dir.file("out.bin")), "before\n" + archive.substr(512));
    }
}

// What was read from a file counts only while it is the file measured: not another file
// of the same stamp, not a directory. (A changed stamp: Create.RefusesAFileThatChanged...)
TEST(MeasuredFiles, AreReadOnlyAsTheFileMeasured) {
    TempDir dir;
    write_file(dir.file("a"), "aaaa");
    write_file(dir.file("b"), "bbbb");
    fs::create_directory(dir.file("d"));
    const FileHandle root = open_target_directory(dir.path());
    const LeafStatus a = measure_leaf(root, "a");
    const LeafStatus b = measure_leaf(root, "b");
    ASSERT_EQ(a.kind, LeafKind::regular);
    const struct {
        const char* what;
        const char* leaf;
        FileId id;
        std::optional<FileStamp> stamp;  // none: the opened file's own
        bool as_measured;
    } cases[] = {
        {"itself, unchanged", "a", a.id, a.stamp, true},
        {"another file, with that file's stamp", "b", a.id, b.stamp, false},
        {"a directory, as itself", "d", measure_leaf(root, "d").id, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SourceFile file;
        file.handle = open_measured(root, c.leaf);
        if (file.handle == no_file) {  // Windows opens no directory to be read
            EXPECT_FALSE(c.as_measured);
            continue;
        }
        FileStamp stamp;
        ASSERT_TRUE(c.stamp || stamp_of(file.handle, stamp));
        EXPECT_EQ(is_as_measured(file.handle, c.id, c.stamp.value_or(stamp)), c.as_measured);
        close_source(file);
    }
    close_directory(root);
}

// One look after a read stands for a look before it too only where the file's last
// change lies before the watch began, by the stamp's own fineness (a stamp of a whole
// second may stand for any moment of that second), and only on a file system that
// stamps changes by this system's clock: not /proc's files, nor anything on Windows.
TEST(MeasuredFiles, AreKnownUnchangedByOneLookOnlyWhereChangedBeforeTheWatch) {
    TempDir dir;
    write_file(dir.file("a"), "aaaa");
    const FileHandle root = open_target_directory(dir.path());
    SourceFile file;
    file.handle = open_measured(root, "a");
    const LeafStatus measured = measure_open(file.handle);
    ChangeWatch local = start_change_watch();
    unchanged_since(local, file.handle, measured);
    if (!local.local) {
        // Windows, or a temporary directory on a network or layered file system.
        EXPECT_FALSE(unchanged_since(local, file.handle, measured));
        close_source(file);
        close_directory(root);
        GTEST_SKIP() << "no file system here stamps changes by this system's clock";
    }
    constexpr std::int64_t second = 1000000000;
    constexpr std::int64_t since = 1000 * second + second / 2;  // a watch begun half way through a second
    const struct {
        const char* what;
        std::int64_t changed;
        LeafKind kind;
        bool unchanged;
    } cases[] = {
        {"changed just before", since - 1, LeafKind::regular, true},
        {"changed at that moment", since, LeafKind::regular, false},
        {"changed after", since + 1, LeafKind::regular, false},
        {"a whole second before that second", 999 * second, LeafKind::regular, true},
        {"the whole second it began in", 1000 * second, LeafKind::regular, false},
        {"not a regular file", since - second, LeafKind::directory, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LeafStatus status = measured;
        status.kind = c.kind;
        status.stamp.changed = c.changed;
        ChangeWatch watch = start_change_watch();
        watch.since = since;
        EXPECT_EQ(unchanged_since(watch, file.handle, status), c.unchanged);
        ChangeWatch unusable = watch;
        unusable.usable = false;
        EXPECT_FALSE(unchanged_since(unusable, file.handle, status));
    }
    // A change after the watch began, even within the clock's tick, is stamped no earlier.
    ChangeWatch begun = start_change_watch();
    write_file(dir.file("b"), "bbbb");
    SourceFile after;
    after.handle = open_measured(root, "b");
    EXPECT_FALSE(unchanged_since(begun, after.handle, measure_open(after.handle)));
    close_source(after);
#ifndef _WIN32
    SourceFile proc;  // stamped by no clock at all
    ASSERT_TRUE(open_source(proc, "/proc/self/status"));
    LeafStatus status = measure_open(proc.handle);
    ASSERT_EQ(status.kind, LeafKind::regular);
    status.stamp.changed = since - second;
    ChangeWatch watch = start_change_watch();
    watch.since = since;
    unchanged_since(watch, file.handle, measured);  // the watch has looked at the local file system last
    EXPECT_FALSE(unchanged_since(watch, proc.handle, status));
    close_source(proc);
#endif
    close_source(file);
    close_directory(root);
}

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

// A new file made at its free name is the handler's to remove until it is complete, and
// no longer once it is: a signal at each moment, in a process that guards itself. One
// that comes inside the file's making, before the handler is told of it, is held over to
// that moment's end. Where the name is taken, the file is made aside and the name keeps
// the old bytes.
TEST(Interruption, RemovesAFreshFileOnlyUntilItIsComplete) {
    enum class Moment : unsigned char { making, written, complete };
    const struct {
        const char* what;
        bool taken;
        Moment moment;
        const char* left;  // "" for no file
    } cases[] = {
        {"fresh, interrupted inside its making", false, Moment::making, ""},
        {"fresh, interrupted while written", false, Moment::written, ""},
        {"fresh, interrupted once complete", false, Moment::complete, "new"},
        {"taken, interrupted inside its making", true, Moment::making, "old"},
        {"taken, interrupted while written", true, Moment::written, "old"},
        {"taken, interrupted once complete", true, Moment::complete, "new"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        if (c.taken) write_file(dir.file("f"), "old");
        const pid_t child = ::fork();
        if (child == 0) {
            guard_interruptions();
            const int directory = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            PendingFile file;
            // A file put at a free name first: names have been free, so the next is tried
            // at its own name, whatever this process wrote before.
            if (!create_pending_file(file, directory, "primer", true) ||
                commit_pending_file(file, "primer", Existing::replace) != Placed::written ||
                ::unlinkat(directory, "primer", 0) != 0) {
                _exit(2);
            }
            if (c.moment == Moment::making) raise_inside_file_making(SIGTERM);
            if (!create_pending_file(file, directory, "f", true) || c.moment == Moment::making) _exit(3);
            if (::write(descriptor(file.handle), "new", 3) != 3) _exit(4);
            // Seen at its name while written only where the name was free.
            if ((::faccessat(directory, "f", F_OK, 0) == 0 && !c.taken) == c.taken) _exit(5);
            if (c.moment == Moment::complete && commit_pending_file(file, "f", Existing::replace) != Placed::written)
                _exit(6);
            std::raise(SIGTERM);
            _exit(7);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), SIGTERM);
        EXPECT_EQ(test::tree(dir.path()),
                  c.left[0] == '\0' ? std::vector<std::string>{} : std::vector<std::string>{"f"});
        if (c.left[0] != '\0') {
            EXPECT_EQ(read_file(dir.file("f")), c.left);
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

// A signal the process already handles (a test harness's timer, a caller's handler)
// stays its own while files are written: the guard takes only what would end the run.
volatile std::sig_atomic_t handled_signal = 0;
TEST(Interruption, LeavesAHandledSignalToItsHandler) {
    const auto previous = std::signal(SIGTERM, [](int signal_number) { handled_signal = signal_number; });
    guard_interruptions();
    std::raise(SIGTERM);
    unguard_interruptions();
    std::signal(SIGTERM, previous);
    EXPECT_EQ(handled_signal, SIGTERM);
}

// A temporary is made only where nothing has its name: a file planted there first (here
// a second name of a file elsewhere) is never opened, let alone written into.
TEST(PortableFileCalls, TemporariesAreMadeOnlyWhereNothingIs) {
    TempDir dir;
    write_file(dir.file("victim"), "untouched");
    fs::create_directory(dir.file("out"));
    fs::create_hard_link(dir.file("victim"), dir.file("out/a.bin.planted"));
    use_portable_file_calls(true);
    use_temporary_suffix(".planted");
    const FileHandle directory = open_target_directory(dir.file("out"));
    PendingFile file;
    const bool made = create_pending_file(file, directory, "a.bin");
    if (made) {
        ::write(descriptor(file.handle), "written", 7);
        discard_pending_file(file);
    }
    use_temporary_suffix({});
    use_portable_file_calls(false);
    close_directory(directory);
    EXPECT_FALSE(made);
    EXPECT_EQ(read_file(dir.file("victim")), "untouched");
}

// A named temporary is its owner's alone while it is written, and takes a new file's
// mode, or the mode of the file it replaces, only as it takes its name.
TEST(PortableFileCalls, TemporariesAreTheOwnersAloneUntilNamed) {
    const mode_t before = ::umask(022);
    use_portable_file_calls(true);
    for (const Existing existing : {Existing::replace, Existing::keep}) {
        for (const bool planted : {false, true}) {
            SCOPED_TRACE(std::string(existing == Existing::keep ? "keep" : "replace") + (planted ? ", planted" : ""));
            TempDir dir;
            if (planted) {
                write_file(dir.file("a.bin"), "old");
                ::chmod(dir.file("a.bin").c_str(), 0640);
            }
            const FileHandle directory = open_target_directory(dir.path());
            PendingFile file;
            ASSERT_TRUE(create_pending_file(file, directory, "a.bin"));
            struct stat status {};
            ASSERT_EQ(::fstatat(descriptor(directory), file.temporary.c_str(), &status, AT_SYMLINK_NOFOLLOW), 0);
            EXPECT_EQ(status.st_mode & 07777, 0600u);
            const Placed placed = commit_pending_file(file, "a.bin", existing);
            EXPECT_EQ(placed, planted && existing == Existing::keep ? Placed::kept : Placed::written);
            ASSERT_EQ(::stat(dir.file("a.bin").c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 07777, planted ? 0640u : 0644u);
            EXPECT_EQ(test::tree(dir.path()), std::vector<std::string>{"a.bin"});
            close_directory(directory);
        }
    }
    use_portable_file_calls(false);
    ::umask(before);
}

// A replaced file's permission bits pass to the new one less the umask, as a new file's
// are, and never with the set-id bits: a file planted with 0777 gives its planter no file
// he may write.
TEST(ExistingFiles, ReplacedModesLoseWhatTheUmaskTakes) {
    build::Archive plan;
    plan.entries = {entry("a.bin", 1, 10, "new")};
    const std::pair<mode_t, mode_t> modes[] = {{0777, 0755}, {0666, 0644}, {0600, 0600}, {04755, 0755}, {0700, 0700}};
    // Extraction, by the program and the portable ways, and --create, whose new file is
    // made without a name and replaces the old one under a temporary name.
    for (const char* way : {"extract", "portable", "create"}) {
        for (const auto& [planted, replaced] : modes) {
            SCOPED_TRACE(std::to_string(planted) + ", " + way);
            TempDir dir;
            write_file(dir.file("a.update"), build::bytes(plan));
            fs::create_directory(dir.file("out"));
            write_file(dir.file("out/a.bin"), "planted");
            ASSERT_EQ(::chmod(dir.file("out/a.bin").c_str(), planted), 0);
            const std::string_view chosen = way;
            const std::vector<std::string> args =
                chosen == "create"
                    ? std::vector<std::string>{"--create", dir.file("out/a.bin"), "-C", dir.path(), "a.update"}
                    : std::vector<std::string>{"-qa", "-C", dir.file("out"), dir.file("a.update")};
            if (chosen == "portable") {
                const mode_t before = ::umask(022);
                EXPECT_EQ(run_portable(args).status, 0);
                ::umask(before);
            } else {
                test::ToolOptions options;
                options.umask = 022;
                EXPECT_EQ(test::run_tool(args, options).status, 0);
            }
            struct stat status {};
            ASSERT_EQ(::stat(dir.file("out/a.bin").c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 07777, replaced);
            EXPECT_NE(read_file(dir.file("out/a.bin")), "planted");
        }
    }
}

// in that other directory.
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

// Replacing by an exchange of names, at each thing that may stand at the name by the
// time of the exchange: the old file goes, a symbolic link is replaced and not followed,
// a free name is simply taken, and a directory that took the name keeps it, whole.
TEST(ConcurrentWriter, ReplacingByExchangeNeverMovesADirectoryAside) {
    const struct {
        const char* at_name;  // what stands at "x"
        bool placed;
        int error;  // when not placed
    } cases[] = {{"file", true, 0}, {"link", true, 0}, {"nothing", true, 0}, {"directory", false, EISDIR}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.at_name);
        TempDir dir;
        write_file(dir.file("elsewhere"), "theirs");
        write_file(dir.file("tmp"), "new");
        const std::string at_name = c.at_name;
        if (at_name == "file") write_file(dir.file("x"), "old");
        if (at_name == "link") fs::create_symlink(dir.file("elsewhere"), dir.file("x"));
        if (at_name == "directory") {
            fs::create_directory(dir.file("x"));
            write_file(dir.file("x/inside"), "theirs");
        }
        const int directory = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
        const bool placed = replace_by_exchange(directory, "tmp", "x");
        const int error = errno;
        EXPECT_EQ(placed, c.placed);
        if (!c.placed) {
            EXPECT_EQ(error, c.error);
        }
        ::close(directory);
        if (c.placed) {
            EXPECT_EQ(read_file(dir.file("x")), "new");
            EXPECT_FALSE(fs::is_symlink(dir.file("x")));
            EXPECT_EQ(test::tree(dir.path()), (std::vector<std::string>{"elsewhere", "x"}));
        } else {
            EXPECT_EQ(read_file(dir.file("x/inside")), "theirs");
            EXPECT_EQ(read_file(dir.file("tmp")), "new");
        }
        EXPECT_EQ(read_file(dir.file("elsewhere")), "theirs");
    }
}

#endif

}  // namespace
}  // namespace kp
