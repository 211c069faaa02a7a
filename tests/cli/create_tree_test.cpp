// --create from a tree, run by the binary: the same bytes whatever the order, a tree too
// deep refused at once, and a racer in the tree never followed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#endif

#include "support/create.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::in;
using test::read_file;
using test::run_tool;
using test::TempDir;
using test::write_file;

// A name as the update file holds it, UTF-8, as a path on every system.
fs::path utf8_path(const std::string& directory, const std::string& name) {
    return fs::path(directory) / fs::path(std::u8string(name.begin(), name.end()));
}

// A tree gives the same bytes however it was made and named: entries in byte order of
// their whole names, each once; extracted, it is the tree again.
TEST(Create, MakesOneFileOfATreeWhateverItsOrder) {
    const std::vector<std::string> names = {"B.txt", "a-b", "a.c", "a/x", "a/y/z.bin", "space name", "\xc3\xbc.bin"};
    TempDir dir;
    for (const char* tree : {"t1", "t2"}) {
        std::vector<std::string> order = names;
        if (std::string(tree) == "t2") std::reverse(order.begin(), order.end());
        for (const std::string& name : order) {
            const fs::path path = utf8_path(dir.file(tree), name);
            fs::create_directories(path.parent_path());
            std::ofstream(path, std::ios::binary) << name << std::string(name.size() * 100, '.');
        }
    }
    const test::ToolRun first = run_tool({"--create", "-v", dir.file("t1.update"), "-C", dir.file("t1"), "."});
    std::string listed;
    for (const std::string& name : names) listed += name + "\n";
    EXPECT_EQ(first.out, listed);
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(first.status, 0);
    const std::string made = read_file(dir.file("t1.update"));
    // Named in another order, overlapping, from another directory: the same bytes.
    EXPECT_EQ(run_tool({"-c", "t2.update", "a/y", "space name", "a", ".", "a/x", "B.txt", "a-b", "a.c", "\xc3\xbc.bin"},
                       in(dir.file("t2")))
                  .status,
              0);
    EXPECT_TRUE(read_file(dir.file("t2/t2.update")) == made);
    // NEW in the tree is left out of it, named once it is there.
    EXPECT_EQ(run_tool({"-c", "t2.update", "."}, in(dir.file("t2"))).err,
              "kpupdate: warning: t2.update is the file being written; not added\n");
    EXPECT_TRUE(read_file(dir.file("t2/t2.update")) == made);

    fs::create_directory(dir.file("out"));
    ASSERT_EQ(run_tool({"-qa", "--trim", "-C", dir.file("out"), dir.file("t1.update")}).status, 0);
    EXPECT_EQ(test::tree(dir.file("out")), test::tree(dir.file("t1")));
    for (const std::string& name : names) {
        std::ifstream extracted(utf8_path(dir.file("out"), name), std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(extracted), {}),
                  name + std::string(name.size() * 100, '.'));
    }

    const test::ToolRun excluded =
        run_tool({"-c", "-v", dir.file("x.update"), "-C", dir.file("t1"), "--exclude=a/y", "--exclude", "*.txt", "."});
    EXPECT_EQ(excluded.out, "a-b\na.c\na/x\nspace name\n\xc3\xbc.bin\n");
    const test::ToolRun named_below =
        run_tool({"-c", "-v", dir.file("x.update"), "-C", dir.file("t1"), "--exclude=a/y", "a/y/z.bin", "a.c", "a/y"});
    EXPECT_EQ(named_below.out, "a.c\n");  // a PATH under an excluded directory goes with it
    const test::ToolRun versioned =
        run_tool({"-c", dir.file("v.update"), "-C", dir.file("t1"), "--version-text=fw 2.0 (rc1)", "a.c"});
    EXPECT_EQ(versioned.status, 0);
    EXPECT_NE(run_tool({dir.file("v.update")}).out.find("fw 2.0 (rc1)"), std::string::npos);
}

#ifndef _WIN32

// A chain of `depth` directories named d under `root`, holding leaf.bin at its bottom:
// made through handles, as no path that long would be taken.
void make_chain(const std::string& root, int depth) {
    int directory = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < depth; ++i) {
        ::mkdirat(directory, "d", 0755);
        const int inner = ::openat(directory, "d", O_RDONLY | O_DIRECTORY);
        ::close(directory);
        directory = inner;
    }
    ::close(::openat(directory, "leaf.bin", O_WRONLY | O_CREAT, 0644));
    ::close(directory);
}

// And its removal, from the bottom up, through handles again.
void remove_chain(const std::string& root) {
    std::vector<int> directories = {::open(root.c_str(), O_RDONLY | O_DIRECTORY)};
    for (int inner; (inner = ::openat(directories.back(), "d", O_RDONLY | O_DIRECTORY)) >= 0;) {
        directories.push_back(inner);
    }
    ::unlinkat(directories.back(), "leaf.bin", 0);
    for (std::size_t i = directories.size(); i-- > 1;) {
        ::close(directories[i]);
        ::unlinkat(directories[i - 1], "d", AT_REMOVEDIR);
    }
    ::close(directories[0]);
}

// A tree deeper than any name can reach is refused at its first directory too deep for
// one, at once and in little memory, and the comparison shows that directory as one
// extra name, never entering it.
TEST(Create, RefusesADeepTreeAtOnce) {
    TempDir dir;
    fs::create_directory(dir.file("t"));
    make_chain(dir.file("t"), 3000);
    write_file(dir.file("t/top.bin"), "top");
    test::ToolOptions options = in(dir.path());
    options.address_space_limit = test::address_sanitizer ? 0 : 256L << 20;
    std::string deepest = "d";  // 44 parts, 87 bytes: no name below it fits
    for (int i = 0; i < 43; ++i) deepest += "/d";
    const test::ToolRun refused = run_tool({"-c", "n.update", "-C", "t", "."}, options);
    EXPECT_EQ(refused.err, "kpupdate: " + deepest +
                               ": a directory 87 bytes and 44 parts deep holds something, and "
                               "no name below it fits the 87 bytes and 44 parts a name can have\n"
                               "kpupdate: n.update was not written\n");
    EXPECT_EQ(refused.status, 255);
    // What it holds excluded, it holds nothing that would be added.
    std::string below_it;
    for (int i = 0; i < 44; ++i) below_it += "*/";
    const test::ToolRun excluded = run_tool({"-c", "n.update", "-C", "t", "--exclude", below_it + "*", "."}, options);
    EXPECT_EQ(excluded.err, "");
    EXPECT_EQ(run_tool({"-l", "n.update"}, options).out, "    0\t       3\t00000200\ttop.bin\n");
    ASSERT_EQ(run_tool({"-c", "n.update", "-C", "t", "top.bin"}, options).status, 0);
    const test::ToolRun compared = run_tool({"-q", "-a", "--diff=t", "n.update"}, options);
    EXPECT_EQ(compared.out, "--- Differences from t: ---\nextra:   " + deepest +
                                "/\nDIFFERENT: 0 added, 0 changed, 1 extra, 1 the same.\n");
    remove_chain(dir.file("t"));
}

// While another process swaps a directory of the tree for a link to a secret directory
// beside it, gathering never follows the link: no run's update file holds the secret.
TEST(Create, HoldsAgainstARacerInTheTree) {
    TempDir dir;
    fs::create_directories(dir.file("t/d/s"));
    fs::create_directories(dir.file("secret"));
    write_file(dir.file("t/d/s/public.bin"), "public");
    write_file(dir.file("secret/public.bin"), "SECRET");
    fs::create_directory_symlink(dir.file("secret"), dir.file("t/d/link"));
    if (::renameat2(AT_FDCWD, dir.file("t/d/s").c_str(), AT_FDCWD, dir.file("t/d/link").c_str(), RENAME_EXCHANGE) !=
        0) {
        GTEST_SKIP() << "no renameat2(RENAME_EXCHANGE) here";
    }
    std::atomic<bool> racing = true;
    std::thread racer([&] {
        while (racing) {
            ::renameat2(AT_FDCWD, dir.file("t/d/s").c_str(), AT_FDCWD, dir.file("t/d/link").c_str(), RENAME_EXCHANGE);
        }
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::string leaked;
    for (int runs = 0; leaked.empty() && (runs < 10 || std::chrono::steady_clock::now() < until); ++runs) {
        fs::remove(dir.file("n.update"));
        const test::ToolRun run = run_tool({"-c", "n.update", "-C", "t", "."}, in(dir.path()));
        if (read_file(dir.file("n.update")).find("SECRET") != std::string::npos) leaked = "run " + std::to_string(runs);
        EXPECT_TRUE(run.status == 0 || run.status == 255) << run.err;
    }
    racing = false;
    racer.join();
    EXPECT_EQ(leaked, "");
}

#endif

}  // namespace
}  // namespace kp
