#include "create/create_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "report/create_output.h"
#include "support/run_tool.h"

namespace kp {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::TempDir;
using test::write_file;

void make_fifo(const TempDir& dir) {
#ifndef _WIN32
    ::mkfifo(dir.file("p").c_str(), 0600);
#else
    (void)dir;
#endif
}

// What the operation says of a request, made in `directory` as the current one (NEW and a
// manifest are named from there) from the files under `root` there, reasons first and
// warnings after; and whether it made the file.
struct Made {
    std::vector<std::string> said;
    bool done = false;
};

Made create_in(const std::string& directory, const std::string& root, const CreateRequest& request) {
    const fs::path before = fs::current_path();
    fs::current_path(directory);
    const FileHandle handle = open_target_directory(root);
    const std::string error = handle == no_file ? last_error_text() : std::string();
    std::vector<std::string> warnings;
    CreateFileEvents events;
    events.work.context = &warnings;
    events.warning = [](void* context, const CreateWarning& warning) {
        static_cast<std::vector<std::string>*>(context)->push_back(create_warning_text(warning));
    };
    std::vector<CreateProblem> problems;
    Made made;
    made.done = create_update_file(request, handle, root, error, events, problems);
    for (const CreateProblem& problem : problems)
        made.said.push_back(create_reason(problem, request.manifest.value_or("")));
    made.said.insert(made.said.end(), warnings.begin(), warnings.end());
    close_directory(handle);
    fs::current_path(before);
    return made;
}

// The request for NEW from the tree's PATHs.
CreateRequest from_tree(std::vector<std::string> paths, const std::string& file = "n.update") {
    CreateRequest request;
    request.file = file;
    request.paths = std::move(paths);
    return request;
}

CreateRequest from_manifest(const std::string& manifest = "m.json") {
    CreateRequest request;
    request.file = "n.update";
    request.manifest = manifest;
    return request;
}

CreateRequest kept(CreateRequest request) {
    request.keep = true;
    return request;
}

// What stops --create says why and leaves everything as it was: no NEW, an old NEW
// untouched, no temporary file, status 255.
TEST(Create, RefusesWhatItCannotMakeAndWritesNothing) {
    struct Case {
        const char* what;
        std::function<void(const TempDir&)> setup;
        std::string root;  // the directory read, in the test's
        CreateRequest request;
        std::vector<std::string> said;
        bool posix_only = false;
    };
    const auto files = [](std::vector<std::pair<std::string, std::string>> list) {
        return [list](const TempDir& dir) {
            for (const auto& [name, bytes] : list) {
                fs::create_directories(fs::path(dir.file(name)).parent_path());
                write_file(dir.file(name), bytes);
            }
        };
    };
    const std::string not_regular =
        "; --create writes NEW only where there is nothing or a regular file (NEW '-' writes to standard output)";
    const Case cases[] = {
        {"an empty tree",
         [](const TempDir& dir) { fs::create_directory(dir.file("t")); },
         "t",
         from_tree({"."}),
         {"no file to add; an update file holds at least one"}},
        {"a tree that holds NEW alone",
         files({{"n.update", "old"}}),
         ".",
         from_tree({"."}),
         {"no file to add; an update file holds at least one",
          "warning: n.update is the file being written; not added"}},
        {"a missing PATH", files({{"t/a", "a"}}), "t", from_tree({"a", "b"}), {"b: No such file or directory"}},
        {"a PATH that climbs",
         files({{"t/a", "a"}}),
         "t",
         from_tree({"../t/a"}),
         {"../t/a: not under the directory read: a PATH is relative to it, without '..'"}},
        {"a name past its field",
         files({{std::string(88, 'n'), "a"}}),
         ".",
         from_tree({"."}),
         {std::string(88, 'n') + ": its name is 88 bytes; a name field holds 87 and a NUL"}},
        {"four files whose first bytes are no record",
         files({{"a", "a"}, {"b", "b"}, {"c", "c"}, {"d", "d"}}),
         ".",
         from_tree({"a", "b", "c", "d"}),
         {"a: with 4 files the data region begins at the last directory record, so the first bytes of this file "
          "would have to be the record of d, and they are not; add or remove a file, or give --filler=NAME for an "
          "empty one"}},
        {"NEW kept",
         files({{"a", "a"}, {"n.update", "old"}}),
         ".",
         kept(from_tree({"a"})),
         {"n.update: a file of that name exists, and is kept"}},
        {"NEW a directory",
         [](const TempDir& dir) { fs::create_directories(dir.file("n.update/a")); },
         ".",
         from_tree({"n.update"}),
         {"n.update: Is a directory"}},
        {"a manifest that is no JSON",
         files({{"m.json", "{\"entries\": [\n  \"a\",,]}"}}),
         ".",
         from_manifest(),
         {"m.json: line 2, column 7: syntax error while parsing value - unexpected ','; expected '[', '{', or a "
          "literal"}},
        {"a manifest's wrong field",
         files({{"a", "a"}, {"m.json", R"({"entries": [{"name": "a", "index": -1}]})"}}),
         ".",
         from_manifest(),
         {"m.json: entries[0].index should be a whole number from 0 to 4294967295"}},
        {"a manifest's missing file",
         files({{"m.json", R"({"entries": ["x/y"]})"}}),
         ".",
         from_manifest(),
         {"x: No such file or directory", "warning: m.json is not named in the manifest; not added"}},
        {"an empty name", files({{"m.json", R"({"entries": [""]})"}}), ".", from_manifest(), {"'': its name is empty"}},
        {"a name with an empty part",
         files({{"a/b", "b"}, {"m.json", R"({"entries": ["a//b"]})"}}),
         ".",
         from_manifest(),
         {"a//b: its name has an empty part ('//')"}},
        {"a key --json never prints, in the document",
         files({{"a", "a"}, {"m.json", "{\n  \"verison\": \"P7 x\",\n  \"entries\": [\"a\"]}"}}),
         ".",
         from_manifest(),
         {"m.json:2:3: unknown key 'verison' (did you mean 'version'?)"}},
        {"a key --json never prints, in an entry",
         files({{"a", "a"}, {"m.json", "{\"entries\": [\"a\",\n  {\"name\": \"a\", \"idx\": 7}]}"}}),
         ".",
         from_manifest(),
         {"m.json:2:17: unknown key 'idx' (did you mean 'index'?)"}},
        {"a key like none",
         files({{"a", "a"}, {"m.json", R"({"entries": ["a"], "frobnicate": 1})"}}),
         ".",
         from_manifest(),
         {"m.json:1:20: unknown key 'frobnicate'"}},
        {"a name's tail past its field",
         files({{"a", "a"},
                {"m.json", R"({"entries": [{"name": "a", "name_tail_hex": ")" + std::string(174, '1') + R"("}]})"}}),
         ".",
         from_manifest(),
         {"a: 87 bytes to follow its NUL, where the field has room for 86"}},
        {"two names for one file",
         files({{"a", "a"}, {"m.json", R"({"entries": ["./a", "a"]})"}}),
         ".",
         from_manifest(),
         {"a: entry 0 writes the same file; an update file holds each file once"}},
        {"a manifest's size whose chunk would wrap",
         files({{"empty.bin", ""}, {"m.json", R"({"entries": [{"name": "empty.bin", "size": 4294967000}]})"}}),
         ".",
         from_manifest(),
         {"empty.bin: the manifest gives it 4294967000 bytes; an update file holds files of at most 4294966784 "
          "bytes, whose 512-byte chunks its 32 bits can count"}},
        {"a key given twice",
         files({{"a", "a"}, {"m.json", "{\"entries\": [\n  {\"name\": \"a\", \"index\": 1,\n   \"index\": 2}]}"}}),
         ".",
         from_manifest(),
         {"m.json:3:4: duplicate key 'index' (first at 2:17)"}},
        {"a number no field holds",
         files({{"a", "a"}, {"m.json", "{\"entries\": [\n  {\"name\": \"a\", \"index\": 1e400}]}"}}),
         ".",
         from_manifest(),
         {"m.json: line 2, column 26: a number too large for any field: '1e400'"}},
        {"five thousand digits",
         files({{"a", "a"}, {"m.json", R"({"entries": [{"name": "a", "index": )" + std::string(5000, '7') + "}]}"}}),
         ".",
         from_manifest(),
         {"m.json: line 1, column 37: a number too large for any field: '" + std::string(40, '7') + "...'"}},
        {"nested 60000 deep, refused before it is parsed",
         files({{"a", "a"}, {"m.json", R"({"entries": [)" + std::string(60000, '[') + std::string(60000, ']') + "]}"}}),
         ".",
         from_manifest(),
         {"m.json: line 1, column 76: nested more than 64 levels deep; what --json prints is 3 levels deep"}},
        {"nested 64 deep, which is read",
         files({{"a", "a"},
                {"m.json", R"({"entries": ["a"], "x": )" + std::string(63, '[') + std::string(63, ']') + "}"}}),
         ".",
         from_manifest(),
         {"m.json:1:20: unknown key 'x'"}},
        {"nested 65 deep",
         files({{"a", "a"},
                {"m.json", R"({"entries": ["a"], "x": )" + std::string(64, '[') + std::string(64, ']') + "}"}}),
         ".",
         from_manifest(),
         {"m.json: line 1, column 88: nested more than 64 levels deep; what --json prints is 3 levels deep"}},
        {"brackets inside a string, escaped quotes and all",
         files({{"a", "a"}, {"m.json", R"({"entries": ["a"], "x": "\")" + std::string(70, '[') + "\"}"}}),
         ".",
         from_manifest(),
         {"m.json:1:20: unknown key 'x'"}},
        {"an entry's unknown key, after the document's own",
         files({{"a", "a"}, {"m.json", R"({"version": "v", "entries": [{"name": "a", "idx": 7}]})"}}),
         ".",
         from_manifest(),
         {"m.json:1:44: unknown key 'idx' (did you mean 'index'?)"}},
        {"an object deeper than an entry, whose keys are not checked as one",
         files({{"a", "a"}, {"m.json", R"({"entries": [["a", {"idx": 7}]]})"}}),
         ".",
         from_manifest(),
         {"m.json: entries[0] should be a name, or an object with a name"}},
        {"a long key over many objects, kept once",
         [](const TempDir& dir) {
             std::string objects;
             for (int i = 0; i < 20000; ++i) objects += i == 0 ? "{}" : ",{}";
             write_file(dir.file("m.json"),
                        R"({"entries": ["a"], ")" + std::string(50000, 'k') + R"(": [)" + objects + "]}");
         },
         ".",
         from_manifest(),
         {"m.json:1:20: unknown key '" + std::string(40, 'k') + "...'"}},
        {"a manifest past 64 MiB",
         [](const TempDir& dir) {
             write_file(dir.file("m.json"), "");
             fs::resize_file(dir.file("m.json"), (64u << 20) + 1);
         },
         ".",
         from_manifest(),
         {"m.json: 67108865 bytes; a manifest holds at most 67108864 bytes"}},
        {"a link",
         [](const TempDir& dir) { fs::create_symlink("/etc/passwd", dir.file("l")); },
         ".",
         from_tree({"l"}),
         {"l: a symbolic link, which an update file cannot hold"},
         true},
        {"a FIFO, never opened to wait",
         make_fifo,
         ".",
         from_tree({"p"}),
         {"p: a FIFO, which an update file cannot hold"},
         true},
        {"NEW a link",
         [](const TempDir& dir) {
             write_file(dir.file("a"), "a");
             write_file(dir.file("target"), "old");
             fs::create_symlink("target", dir.file("n.update"));
         },
         ".",
         from_tree({"a"}),
         {"n.update: a symbolic link" + not_regular},
         true},
        {"NEW a dangling link",
         [](const TempDir& dir) {
             write_file(dir.file("a"), "a");
             fs::create_symlink("nowhere", dir.file("n.update"));
         },
         ".",
         from_tree({"a"}),
         {"n.update: a symbolic link" + not_regular},
         true},
        {"NEW a FIFO",
         [](const TempDir& dir) {
             write_file(dir.file("a"), "a");
             make_fifo(dir);
         },
         ".",
         from_tree({"a"}, "p"),
         {"p: a FIFO" + not_regular},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.posix_only && !test::posix_child_controls) continue;
        TempDir dir;
        c.setup(dir);
        const std::vector<std::string> before = test::tree(dir.path());
        const bool old_file = fs::is_regular_file(dir.file("n.update"));
        const std::string old = old_file ? read_file(dir.file("n.update")) : std::string();
        const Made made = create_in(dir.path(), c.root, c.request);
        EXPECT_EQ(made.said, c.said);
        EXPECT_FALSE(made.done);
        EXPECT_EQ(test::tree(dir.path()), before);
        if (old_file) {
            EXPECT_EQ(read_file(dir.file("n.update")), old);
        }
    }
}

}  // namespace
}  // namespace kp
