// The C interface in-process, where what it says cannot be seen from Python: statuses,
// the entry a name finds, every group, descriptors, and the policies a caller sets.
#include <gtest/gtest.h>

#include <kpupdate.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "ops/digests.h"
#include "ops/sha256.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using Handle = std::unique_ptr<kp_archive, decltype(&kp_close)>;

Handle opened(const std::string& path) {
    Handle handle(kp_new(), kp_close);
    EXPECT_EQ(kp_open_path(handle.get(), path.c_str()), KP_OK) << kp_reason(handle.get());
    return handle;
}

std::string digest_of(const std::string& bytes) {
    Sha256 digest;
    Sha256Digest result;
    sha256_begin(digest);
    sha256_add(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    sha256_end(digest, result);
    return hex_of(result);
}

build::Archive repeated_names() {
    build::Archive archive = build::sample();
    archive.entries.push_back({"kernel.img", 9, 700, {5, 5, 0, 0}, "newer"});
    archive.entries.push_back({"cfg/new.ini", 10, 33, {5, 5, 0, 0}, "config"});
    return archive;
}

TEST(Library, ReadsWhatExtractionWrites) {
    test::TempDir dir;
    const build::Archive model = repeated_names();
    const std::string bytes = build::bytes(model);
    test::write_file(dir.file("a.update"), bytes);
    const Handle handle = opened(dir.file("a.update"));
    kp_archive* archive = handle.get();

    kp_header header{};
    header.struct_size = sizeof header;
    ASSERT_EQ(kp_get_header(archive, &header), KP_OK);
    EXPECT_EQ(header.cut, 0);
    EXPECT_EQ(header.length, bytes.size());

    uint32_t position = 0;
    ASSERT_EQ(kp_find_entry(archive, "kernel.img", &position), KP_OK);
    EXPECT_EQ(position, 7u) << "a name finds its last entry, which extraction writes";
    EXPECT_EQ(kp_find_entry(archive, "none", &position), KP_ERROR_NOT_FOUND);

    // The sample's two groups and the new one, each fetched by its number.
    ASSERT_EQ(kp_group_count(archive), 3u);
    std::vector<std::uint64_t> signatures;
    for (size_t group = 0; group < 3; ++group) {
        kp_group out{};
        out.struct_size = sizeof out;
        ASSERT_EQ(kp_get_group(archive, group, &out), KP_OK) << group;
        signatures.push_back(out.signature);
        EXPECT_GE(out.count, 2u);
    }
    EXPECT_NE(std::find(signatures.begin(), signatures.end(), 5u), signatures.end());
    kp_group past{};
    past.struct_size = sizeof past;
    EXPECT_EQ(kp_get_group(archive, 3, &past), KP_ERROR_ARGUMENT);

    for (uint32_t at = 0; at < kp_entry_count(archive); ++at) {
        kp_entry entry{};
        entry.struct_size = sizeof entry;
        ASSERT_EQ(kp_get_entry(archive, at, &entry), KP_OK);
        for (const int padded : {0, 1}) {
            const std::size_t size = padded != 0 ? entry.chunk_size : entry.size;
            const std::string expected = bytes.substr(entry.offset, size);
            char hex[65];
            ASSERT_EQ(kp_sha256(archive, at, padded, hex), KP_OK);
            EXPECT_EQ(std::string(hex), digest_of(expected)) << at << " padded " << padded;
            const std::string out = dir.file("out" + std::to_string(at));
            const int descriptor = test::create_descriptor(out);
            ASSERT_GE(descriptor, 0);
            EXPECT_EQ(kp_read_to_fd(archive, at, padded, descriptor), KP_OK) << kp_reason(archive);
            test::close_descriptor(descriptor);
            EXPECT_EQ(test::read_file(out), expected);
        }
    }
}

TEST(Library, RefusesBytesPastTheEndAlikeEverywhere) {
    test::TempDir dir;
    test::write_file(dir.file("cut.update"), build::bytes(build::sample()).substr(0, 5000));
    const Handle handle = opened(dir.file("cut.update"));
    kp_archive* archive = handle.get();
    kp_header header{};
    header.struct_size = sizeof header;
    ASSERT_EQ(kp_get_header(archive, &header), KP_OK);
    EXPECT_EQ(header.length, 5000u);
    EXPECT_EQ(header.cut, 1) << "a cut file says so as it opens";
    header.struct_size = offsetof(kp_header, length);
    header.cut = 7;
    ASSERT_EQ(kp_get_header(archive, &header), KP_OK);
    EXPECT_EQ(header.cut, 7) << "an older caller's structure is filled no further than it reaches";
    char buffer[4096];
    std::size_t got = 0;
    ASSERT_EQ(kp_read(archive, 1, 0, 0, buffer, sizeof buffer, &got), KP_ERROR_FORMAT);
    const std::string reason = kp_reason(archive);
    const int descriptor = test::create_descriptor(dir.file("out"));
    EXPECT_EQ(kp_read_to_fd(archive, 1, 0, descriptor), KP_ERROR_FORMAT);
    test::close_descriptor(descriptor);
    EXPECT_EQ(kp_reason(archive), reason);
    EXPECT_NE(reason.find("past the end"), std::string::npos) << reason;
}

// What each caller's choice does, against the file that is there already.
TEST(Library, ExtractsAndComparesAsAsked) {
    test::TempDir dir;
    test::write_file(dir.file("a.update"), build::bytes(build::sample()));
    build::Archive changed = build::sample();
    changed.entries[6].data = "changed";
    test::write_file(dir.file("b.update"), build::bytes(changed));
    const Handle handle = opened(dir.file("a.update"));
    kp_archive* archive = handle.get();

    struct Case {
        const char* what;
        int existing;
        std::vector<const char*> includes;
        std::vector<std::string> files;  // what the directory holds after
        std::string settings;            // settings.ini's bytes after
        int status;
    };
    const Case cases[] = {
        {"replace", KP_EXISTING_REPLACE, {}, {}, "", KP_OK},
        {"keep: refused where a file is", KP_EXISTING_KEEP, {}, {}, "old", KP_ERROR_FAILED},
        {"skip: passed over", KP_EXISTING_SKIP, {}, {}, "old", KP_OK},
        {"include: only what matches",
         KP_EXISTING_REPLACE,
         {"boot*"},
         {"bootloader-copy.bin", "bootloader-old.bin", "bootloader.bin", "settings.ini"},
         "old",
         KP_OK},
    };
    for (const Case& c : cases) {
        const std::string out = dir.file(c.what[0] == 'i' ? "include" : c.what);
        std::filesystem::create_directory(out);
        test::write_file(out + "/settings.ini", "old");
        kp_extract_options options{};
        options.struct_size = sizeof options;
        options.directory = out.c_str();
        options.existing = c.existing;
        options.includes = c.includes.data();
        options.include_count = c.includes.size();
        EXPECT_EQ(kp_extract(archive, &options), c.status) << c.what << ": " << kp_reason(archive);
        EXPECT_EQ(test::read_file(out + "/settings.ini"), c.settings) << c.what;
        if (!c.files.empty()) {
            EXPECT_EQ(test::tree(out), c.files) << c.what;
        }
    }

    // The other side as an update file and as a tree, own-size or padded.
    const Handle same = opened(dir.file("a.update"));
    const Handle other = opened(dir.file("b.update"));
    EXPECT_EQ(kp_diff(archive, same.get(), nullptr), KP_OK) << kp_reason(archive);
    EXPECT_EQ(kp_diff(archive, other.get(), nullptr), KP_DIFFERENT);
    for (const int padded : {0, 1}) {
        const std::string tree = dir.file("tree" + std::to_string(padded));
        std::filesystem::create_directory(tree);
        kp_extract_options options{};
        options.struct_size = sizeof options;
        options.directory = tree.c_str();
        options.padded = padded;
        ASSERT_EQ(kp_extract(archive, &options), KP_OK);
        EXPECT_EQ(kp_diff_directory(archive, tree.c_str(), padded, nullptr), KP_OK) << padded;
        EXPECT_EQ(kp_diff_directory(archive, tree.c_str(), 1 - padded, nullptr), KP_DIFFERENT) << padded;
    }

    // Creation that may not replace: the file there stays, and it says why.
    test::write_file(dir.file("new.update"), "mine");
    const char* paths[] = {"settings.ini"};
    kp_create_options create{};
    create.struct_size = sizeof create;
    const std::string tree = dir.file("tree0");
    create.directory = tree.c_str();
    create.paths = paths;
    create.path_count = 1;
    create.keep = 1;
    EXPECT_EQ(kp_create(archive, dir.file("new.update").c_str(), &create), KP_ERROR_FAILED);
    EXPECT_EQ(test::read_file(dir.file("new.update")), "mine");
    create.keep = 0;
    EXPECT_EQ(kp_create(archive, dir.file("new.update").c_str(), &create), KP_OK) << kp_reason(archive);
    EXPECT_NE(test::read_file(dir.file("new.update")), "mine");
}

}  // namespace
}  // namespace kp
