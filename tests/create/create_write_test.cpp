#include "create/create.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "archive_builder.h"
#include "create/create_tree.h"
#include "fs/new_files.h"
#include "support/create.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::settles;
using test::TempDir;
using test::write_file;

// Appends to the file named by `context` once, as another process might while it is read.
void grow_once(void* context, u64 /*bytes*/) {
    auto* path = static_cast<std::string*>(context);
    if (path->empty()) return;
    std::ofstream(*path, std::ios::binary | std::ios::app) << "more";
    path->clear();
}

// Writes the file named by `context` over with other bytes of the same length once, as
// another process might while it is read, until the system's clock has moved on from the
// last change before: a change in the same tick would leave no trace in the file's times.
void rewrite_once(void* context, const NewEntry&) {
    auto* path = static_cast<std::string*>(context);
    if (path->empty()) return;
    const auto changed = [&path] { return fs::last_write_time(*path); };
    const auto before = changed();
    const std::string other(fs::file_size(*path), 'z');
    test::wait_until([&] {
        std::ofstream(*path, std::ios::binary | std::ios::in) << other;
        return changed() != before;
    });
    path->clear();
}

// A file that changes as it is read (grows, is cut, or is written over to its own
// length) is not written as any of them; one swapped for something else since it was
// listed is never read as a file. One changed once, after a read that a look after it
// cannot vouch for, is read again and written as it is then.
TEST(Create, RefusesAFileThatChangedAsItWasRead) {
    using Change = std::function<void(const std::string&)>;
    const Change rewrite = [](const std::string& path) {
        std::string rewriting = path;
        rewrite_once(&rewriting, NewEntry{});
    };
    struct Case {
        const char* what;
        std::size_t size;
        Change listed;  // after the listing, before the pass
        Change read;    // after each read, before the look after it
        bool once;      // `read` after the first read only
        bool grows;     // as it is read
        CreateFault fault;
    };
    const Case cases[] = {
        {"left alone", 600, nullptr, nullptr, false, false, CreateFault::changed},
        {"grown", 600, nullptr,
         [](const std::string& path) {
             std::ofstream(path, std::ios::binary | std::ios::app) << std::string(100, 'g');
         },
         false, false, CreateFault::changed},
        {"cut", 600, nullptr, [](const std::string& path) { fs::resize_file(path, fs::file_size(path) / 2); }, false,
         false, CreateFault::changed},
        {"rewritten to its length", 600, nullptr, rewrite, false, false, CreateFault::changed},
        {"rewritten to its length once, after its first read", 600, nullptr, rewrite, true, false,
         CreateFault::changed},
        {"grows as it is read", 3u << 20, nullptr, nullptr, false, true, CreateFault::changed},
        {"rewritten to its length as it is read", 3u << 20, nullptr, rewrite, false, false, CreateFault::changed},
        {"a directory since it was listed", 600,
         [](const std::string& path) {
             fs::remove(path);
             fs::create_directory(path);
         },
         nullptr, false, false, CreateFault::not_regular},
        {"a FIFO since it was listed, never waited on (on Windows, gone)", 600,
         [](const std::string& path) {
             fs::remove(path);
#ifndef _WIN32
             ::mkfifo(path.c_str(), 0600);
#endif
         },
         nullptr, false, false, test::posix_child_controls ? CreateFault::not_regular : CreateFault::missing},
    };
    struct AtRead {
        std::string path;
        Change change;
        bool once;
        std::string growing;  // as it is read
        u64 told = 0;         // bytes the progress line was told of
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_file(dir.file("a.bin"), std::string(c.size, 'a'));
        // Read first and looked at once, the file is read again where the look finds it changed.
        const bool settled = settles(dir.file("a.bin"));
        const bool left_alone = !c.listed && !c.read && !c.grows;
        const bool written = left_alone || (c.once && settled);
        DirectoryWalk walk;
        walk.root = open_target_directory(dir.path());
        ASSERT_NE(walk.root, no_file);
        std::vector<CreateProblem> problems;
        std::vector<CreateWarning> warnings;
        NewArchive archive;
        archive.entries = gather_tree(walk, {"."}, {}, problems);
        ASSERT_TRUE(problems.empty());
        if (c.listed) c.listed(dir.file("a.bin"));
        AtRead at_read{dir.file("a.bin"), c.read, c.once, c.grows ? dir.file("a.bin") : std::string()};
        PendingFile pending;
        ASSERT_TRUE(create_pending_file(pending, walk.root, "n.update"));
        CreateEvents events;
        events.progress = {[](void* context, u64 bytes) {
                               auto* at = static_cast<AtRead*>(context);
                               at->told += bytes;
                               grow_once(&at->growing, bytes);
                           },
                           &at_read};
        events.context = &at_read;
        events.read = [](void* context, const NewEntry&) {
            auto* at = static_cast<AtRead*>(context);
            if (at->change) (at->once ? std::exchange(at->change, nullptr) : at->change)(at->path);
        };
        std::size_t output_at = 0;
        const Pass pass =
            write_new_archive(archive, walk, std::nullopt, pending.handle, events, problems, warnings, output_at);
        if (written) {
            EXPECT_EQ(pass, Pass::written);
            EXPECT_TRUE(problems.empty());
            SourceFile made;
            made.handle = pending.handle;
            std::string bytes(c.size + 1, '\0');
            bytes.resize(read_up_to(made, layout_of(archive).data_start, bytes.data(), c.size));
            EXPECT_EQ(bytes, std::string(c.size, left_alone ? 'a' : 'z'));
            EXPECT_EQ(at_read.told, c.size);
        } else {
            EXPECT_EQ(pass, Pass::failed);
            ASSERT_EQ(problems.size(), 1u);
            EXPECT_EQ(problems[0].fault, c.fault);
        }
        discard_pending_file(pending);
        walk_end(walk);
        close_directory(walk.root);
    }
}

// The last check before NEW is named: what was written loads back as what was asked, or
// it is not named. Each row writes one thing wrong.
TEST(Create, ChecksWhatWasWrittenAgainstWhatWasAsked) {
    build::Archive plan;
    plan.version = "v1";
    plan.entries = {{"a", 0, 5, {1, 2, 3, 4}, "abcde"}, {"b", 1, 600, {}, ""}};
    const struct {
        const char* what;
        std::function<void(NewArchive&, std::string&)> fault;
        std::string found;  // what the check says differs
    } faults[] = {
        {"nothing", [](NewArchive&, std::string&) {}, ""},
        {"another version", [](NewArchive& asked, std::string&) { asked.version = "v2"; }, "its header"},
        {"another signature", [](NewArchive& asked, std::string&) { asked.entries[0].signature[3] = 5; },
         "the record of a"},
        {"another size", [](NewArchive& asked, std::string&) { asked.entries[1].size = 1100; }, "its header"},
        {"another count", [](NewArchive& asked, std::string&) { asked.entries.pop_back(); },
         "it does not load as an update file of 1 files"},
        {"bytes after the end", [](NewArchive&, std::string& bytes) { bytes += "x"; }, "its length"},
        {"a chunk past the end", [](NewArchive&, std::string& bytes) { bytes.resize(bytes.size() - 100); },
         "where the bytes of b lie"},
    };
    for (const auto& [what, fault, found] : faults) {
        SCOPED_TRACE(what);
        NewArchive asked;
        asked.version = plan.version;
        for (const build::Entry& entry : plan.entries) {
            NewEntry wanted;
            wanted.name = entry.name;
            wanted.index = entry.index;
            wanted.signature = entry.signature;
            wanted.size = entry.size;
            asked.entries.push_back(wanted);
        }
        std::string bytes = build::bytes(plan);
        fault(asked, bytes);
        TempDir dir;
        write_file(dir.file("w.update"), bytes);
        SourceFile written;
        ASSERT_TRUE(open_source(written, dir.file("w.update")));
        CreateProblem problem;
        EXPECT_EQ(check_written_archive(asked, written, problem), found.empty());
        EXPECT_EQ(problem.text, found);
        close_source(written);
    }
}

}  // namespace
}  // namespace kp
