#include "ops/entry_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include "archive_builder.h"
#include "fs/stream.h"
#include "support/run_tool.h"

namespace kp {
namespace {

// A stream of `bytes`, given at most 100 bytes a read, whose reads fail with EIO from `fail_at` on.
struct Feed {
    std::string bytes;
    std::size_t fail_at = std::string::npos;
    std::size_t at = 0;
};

std::int64_t feed(void* context, unsigned char* buffer, std::size_t size) {
    Feed& feed = *static_cast<Feed*>(context);
    if (feed.at >= feed.fail_at) {
        errno = EIO;
        return -1;
    }
    const std::size_t given = std::min({size, std::size_t{100}, feed.bytes.size() - feed.at, feed.fail_at - feed.at});
    std::memcpy(buffer, feed.bytes.data() + feed.at, given);
    feed.at += given;
    return static_cast<std::int64_t>(given);
}

std::string digest_of(const std::string& bytes) {
    Sha256 sha;
    Sha256Digest digest{};
    sha256_begin(sha);
    sha256_add(sha, bytes.data(), bytes.size());
    sha256_end(sha, digest);
    return std::string(digest.begin(), digest.end());
}

using Kind = BytesProblem::Kind;

// Each way an entry's bytes can be there or not, own and padded, as every question of
// the unit answers it: the check, a read in pieces, a copy and a digest, each on a
// source fresh for it.
TEST(EntryBytes, EveryQuestionGetsOneAnswer) {
    // "a" 700 bytes at 512 (its chunk to 1536), "b" 300 bytes at 1536 (its chunk to 2048).
    build::Archive plan;
    plan.entries = {{"a", 1, 700, {1, 0, 0, 0}, "first"}, {"b", 2, 300, {2, 0, 0, 0}, "second"}, {"c", 3, 0, {}, ""}};
    const std::string whole = build::bytes(plan);
    std::istringstream in(whole);
    UpdateArchive archive;
    ASSERT_EQ(load_archive(archive, in), 3);
    ASSERT_EQ(whole.size(), 2048u);

    enum class From { file, stream, passed_stream, directory };
    struct Case {
        const char* what;
        From from;
        u32 position;
        std::size_t length;                                    // of the file, or where the stream ends or fails
        bool fails;                                            // the stream's reads fail there, rather than end
        Kind own, padded;                                      // what every question finds
        u64 own_past = 0, padded_past = 0;                     // how far past the end
        Kind own_copy = Kind::none, padded_copy = Kind::none;  // a copy's, where it differs
    };
    const Case cases[] = {
        {"inside a file", From::file, 1, 2048, false, Kind::none, Kind::none},
        {"cut in its own bytes", From::file, 1, 1700, false, Kind::outside_file, Kind::outside_file, 136, 348},
        {"cut in its padding", From::file, 1, 1900, false, Kind::none, Kind::outside_file, 0, 148},
        {"an empty entry past the end", From::file, 2, 1000, false, Kind::none, Kind::none},
        {"inside a stream", From::stream, 1, 2048, false, Kind::none, Kind::none},
        {"a stream that ends in it", From::stream, 1, 1700, false, Kind::outside_file, Kind::outside_file, 136, 348},
        {"a stream that has passed it", From::passed_stream, 0, 2048, false, Kind::passed, Kind::passed},
        {"a stream whose read fails in it", From::stream, 0, 1000, true, Kind::read_failed, Kind::read_failed, 212,
         536},
#ifndef _WIN32
        // A directory's reads fail: a file whose read fails, not one that ends.
        {"a file whose read fails", From::directory, 0, 2048, false, Kind::read_failed, Kind::read_failed, 0, 0,
         Kind::copy_failed, Kind::copy_failed},
#endif
    };
    test::TempDir dir;
    for (const Case& c : cases) {
        for (const bool padded : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (padded ? ", padded" : ", own"));
            const ByteRange range = written_bytes(archive.entries[c.position], padded);
            const std::string expected = whole.substr(range.offset, range.size);
            const Kind kind = padded ? c.padded : c.own;
            // A read that fails at the start gets none of the bytes.
            const u64 past = c.from == From::directory ? range.size : padded ? c.padded_past : c.own_past;
            const std::string path = dir.file("a.update");
            test::write_file(path, whole.substr(0, c.length));
            Feed fed{whole.substr(0, c.fails ? whole.size() : c.length), c.fails ? c.length : std::string::npos};
            const auto fresh = [&](SourceFile& source) {
                fed.at = 0;
                if (c.from == From::file || c.from == From::directory) {
                    ASSERT_TRUE(open_source(source, c.from == From::file ? path : dir.path()));
                    if (c.from == From::directory) source.length = whole.size();
                    return;
                }
                source.stream = true;
                source.length = unknown_length;
                source.reader = {feed, &fed};
                if (c.from == From::passed_stream) {
                    ASSERT_TRUE(skip_stream(source, 1800));
                }
            };
            const auto same = [&](const BytesProblem& problem, Kind wanted, const char* asked) {
                EXPECT_EQ(problem.kind, wanted) << asked;
                if (wanted == Kind::outside_file || wanted == Kind::read_failed) {
                    EXPECT_EQ(problem.past_end, past) << asked;
                }
                if (wanted == Kind::read_failed) {
                    EXPECT_EQ(problem.error, c.from == From::directory ? EISDIR : EIO);
                }
                if (wanted == Kind::read_failed || wanted == Kind::copy_failed) {
                    EXPECT_NE(problem.error, 0) << asked;
                    EXPECT_EQ(problem.text, std::strerror(problem.error)) << asked;
                }
            };

            SourceFile checked;
            fresh(checked);
            same(bytes_problem(checked, range), c.from == From::directory ? Kind::none : kind, "check");
            close_source(checked);

            SourceFile read;
            fresh(read);
            std::string got;
            BytesProblem problem;
            char piece[64];
            for (std::size_t count = 0;
                 (count = read_bytes(read, range, got.size(), piece, sizeof piece, problem)) > 0;)
                got.append(piece, count);
            same(problem, kind, "read");
            if (kind != Kind::passed) {
                EXPECT_EQ(got, expected.substr(0, range.size - past)) << "what there is reads";
            }
            close_source(read);

            SourceFile copied;
            fresh(copied);
            const int out = test::create_descriptor(dir.file("out"));
            ASSERT_GE(out, 0);
            Kind copy = padded ? c.padded_copy : c.own_copy;
            if (copy == Kind::none) copy = kind;
            same(copy_bytes(copied, range, descriptor_handle(out)), copy, "copy");
            test::close_descriptor(out);
            if (copy == Kind::none) {
                EXPECT_EQ(test::read_file(dir.file("out")), expected);
            }
            close_source(copied);

            SourceFile digested;
            fresh(digested);
            Sha256Digest digest{};
            same(digest_bytes(digested, range, digest), kind, "digest");
            if (kind == Kind::none) {
                EXPECT_EQ(std::string(digest.begin(), digest.end()), digest_of(expected));
            }
            close_source(digested);
        }
    }
}

}  // namespace
}  // namespace kp
