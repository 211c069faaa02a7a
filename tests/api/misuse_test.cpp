// The C interface against what its callers get wrong: read functions that misbehave,
// handles asked what they cannot answer, and answers a stream can no longer give.
#include <gtest/gtest.h>

#include <kpupdate.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include "archive_builder.h"
#include "support/run_tool.h"

namespace kp {
namespace {

using Handle = std::unique_ptr<kp_archive, decltype(&kp_close)>;

Handle fresh_handle() {
    return Handle(kp_new(), kp_close);
}

// How a read function answers its calls, counted from 1.
enum class Answer { honest, over_report, negative, fail_errno, fail_silent, interrupted, throws_memory, throws_other };

// An update file in memory, given a piece of at most `piece` bytes a call, until call
// `from`, which on is answered as `answer` says.
struct Reader {
    std::string bytes;
    std::size_t piece = 1 << 20;
    Answer answer = Answer::honest;
    int from = 1;
    std::size_t at = 0;
    int calls = 0;
};

ptrdiff_t read_from(void* context, void* buffer, size_t size) {
    Reader& reader = *static_cast<Reader*>(context);
    ++reader.calls;
    const bool misbehave = reader.calls >= reader.from;
    if (misbehave) {
        switch (reader.answer) {
            case Answer::honest:
                break;
            case Answer::over_report:
                return static_cast<ptrdiff_t>(size + 100000);
            case Answer::negative:
                return -5;
            case Answer::fail_errno:
                errno = ENOSPC;
                return -1;
            case Answer::fail_silent:
                errno = 0;
                return -1;
            case Answer::interrupted:
                if (reader.calls % 2 == 0) {
                    errno = EINTR;
                    return -1;
                }
                break;
            case Answer::throws_memory:
                throw std::bad_alloc();
            case Answer::throws_other:
                throw std::runtime_error("a caller's fault");
        }
    }
    const std::size_t given = std::min({size, reader.piece, reader.bytes.size() - reader.at});
    std::memcpy(buffer, reader.bytes.data() + reader.at, given);
    reader.at += given;
    return static_cast<ptrdiff_t>(given);
}

TEST(LibraryMisuse, ReadFunctionsAreTrustedWithNothing) {
    struct Case {
        const char* what;
        Answer answer;
        int from;
        int opened;        // kp_open_stream's status
        int listed;        // then kp_json's
        int error;         // kp_system_error after the failing call
        const char* said;  // part of its reason
    };
    // 1000 bytes a call: the header and directory come in two, so that a failure from the
    // third call on is one of kp_json's.
    const Case cases[] = {
        {"honest", Answer::honest, 1, KP_OK, KP_OK, 0, ""},
        {"interrupted on every other call", Answer::interrupted, 1, KP_OK, KP_OK, 0, ""},
        {"more than asked for", Answer::over_report, 1, KP_ERROR_SYSTEM, 0, EIO,
         "the read function returned 362144 for a read of 262144 bytes"},
        {"more than asked for, later", Answer::over_report, 3, KP_OK, KP_ERROR_SYSTEM, EIO, "for a read of"},
        {"a count below -1", Answer::negative, 1, KP_ERROR_SYSTEM, 0, EIO, "the read function returned -5"},
        {"a failure with its errno", Answer::fail_errno, 3, KP_OK, KP_ERROR_SYSTEM, ENOSPC, std::strerror(ENOSPC)},
        {"a failure with no errno", Answer::fail_silent, 1, KP_ERROR_SYSTEM, 0, EIO, "without saying why"},
        {"an exception for memory", Answer::throws_memory, 1, KP_ERROR_SYSTEM, 0, ENOMEM, "out of memory"},
        {"any other exception", Answer::throws_other, 3, KP_OK, KP_ERROR_FAILED, 0, "failed unexpectedly"},
    };
    const std::string bytes = build::bytes(build::sample());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reader reader{bytes, 1000, c.answer, c.from};
        const Handle handle = fresh_handle();
        kp_archive* archive = handle.get();
        ASSERT_EQ(kp_open_stream(archive, read_from, &reader), c.opened) << kp_reason(archive);
        if (c.opened == KP_OK) {
            char* document = nullptr;
            EXPECT_EQ(kp_json(archive, &document, nullptr), c.listed) << kp_reason(archive);
            kp_free(document);
        }
        EXPECT_EQ(kp_system_error(archive), c.error);
        EXPECT_NE(std::string(kp_reason(archive)).find(c.said), std::string::npos) << kp_reason(archive);
        if (c.opened != KP_OK) {
            EXPECT_EQ(kp_entry_count(archive), 0u) << "nothing stays open after a failed open";
        }
    }
}

// The errno of a failed read, and how far a file cut since it opened falls short, reach
// the caller of an entry's bytes as they reach the loader's.
TEST(LibraryMisuse, EntryBytesSayWhyTheyFellShort) {
    const std::string bytes = build::bytes(build::sample());
    Reader reader{bytes, 1000, Answer::fail_errno, 3};
    const Handle stream = fresh_handle();
    ASSERT_EQ(kp_open_stream(stream.get(), read_from, &reader), KP_OK);
    char hex[65];
    EXPECT_EQ(kp_sha256(stream.get(), 0, 0, hex), KP_ERROR_SYSTEM);
    EXPECT_EQ(kp_system_error(stream.get()), ENOSPC) << kp_reason(stream.get());

    test::TempDir dir;
    test::write_file(dir.file("a.update"), bytes);
    const Handle file = fresh_handle();
    ASSERT_EQ(kp_open_path(file.get(), dir.file("a.update").c_str()), KP_OK);
    kp_entry kernel{};
    kernel.struct_size = sizeof kernel;
    ASSERT_EQ(kp_get_entry(file.get(), 1, &kernel), KP_OK);
    std::filesystem::resize_file(dir.file("a.update"), kernel.offset + 5000);
    std::vector<char> buffer(16384);
    std::size_t got = 0;
    EXPECT_EQ(kp_read(file.get(), 1, 0, 1000, buffer.data(), buffer.size(), &got), KP_ERROR_FORMAT);
    EXPECT_EQ(got, 4000u);
    EXPECT_NE(std::string(kp_reason(file.get())).find(" 4001 bytes past"), std::string::npos) << kp_reason(file.get());
}

// A stream read once cannot be compared after, nor out of the order its bytes lie in:
// saying so is the only sound answer.
TEST(LibraryMisuse, ComparesNoStreamItCannotRead) {
    test::TempDir dir;
    // Larger than what a stream keeps of the bytes it has given.
    build::Archive model = build::sample();
    model.entries.push_back({"big.bin", 7, 600000, {}, "BIG"});
    build::Archive reversed = model;
    std::reverse(reversed.entries.begin(), reversed.entries.end());
    test::write_file(dir.file("a.update"), build::bytes(model));
    struct Case {
        const char* what;
        bool stream_first;  // the stream is the new side, else the old one
        bool read_before;   // kp_json read the stream to its end first
        bool other_order;   // the stream's entries lie in the opposite order
        bool directory;     // the other side is the tree the file extracts to
        int status;
    };
    const Case cases[] = {
        {"a new stream, unread", true, false, false, false, KP_OK},
        {"an old stream in the same order", false, false, false, false, KP_OK},
        {"a new stream read already", true, true, false, false, KP_ERROR_STATE},
        {"an old stream read already", false, true, false, false, KP_ERROR_STATE},
        {"an old stream in another order", false, false, true, false, KP_ERROR_STATE},
        {"a stream against a tree, unread", true, false, false, true, KP_OK},
        {"a stream against a tree, read already", true, true, false, true, KP_ERROR_STATE},
    };
    const std::string tree = dir.file("tree");
    std::filesystem::create_directory(tree);
    {
        const Handle file = fresh_handle();
        ASSERT_EQ(kp_open_path(file.get(), dir.file("a.update").c_str()), KP_OK);
        kp_extract_options options{};
        options.struct_size = sizeof options;
        options.directory = tree.c_str();
        ASSERT_EQ(kp_extract(file.get(), &options), KP_OK);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reader reader{build::bytes(c.other_order ? reversed : model)};
        const Handle stream = fresh_handle();
        const Handle file = fresh_handle();
        ASSERT_EQ(kp_open_stream(stream.get(), read_from, &reader), KP_OK);
        ASSERT_EQ(kp_open_path(file.get(), dir.file("a.update").c_str()), KP_OK);
        if (c.read_before) {
            char* document = nullptr;
            ASSERT_EQ(kp_json(stream.get(), &document, nullptr), KP_OK);
            kp_free(document);
        }
        kp_archive* asked = c.stream_first || c.directory ? stream.get() : file.get();
        const int status = c.directory ? kp_diff_directory(asked, tree.c_str(), 0, nullptr)
                                       : kp_diff(asked, c.stream_first ? file.get() : stream.get(), nullptr);
        EXPECT_EQ(status, c.status) << kp_reason(asked);
        if (c.status == KP_ERROR_STATE) {
            EXPECT_NE(std::string(kp_reason(asked)).find("read only once"), std::string::npos) << kp_reason(asked);
        }
    }
}

// Every failing call says why, in the status its header gives; nothing is left open
// where nothing should be.
TEST(LibraryMisuse, EveryFailureSaysWhy) {
    test::TempDir dir;
    test::write_file(dir.file("a.update"), build::bytes(build::sample()));
    const Handle idle = fresh_handle();
    const Handle open = fresh_handle();
    ASSERT_EQ(kp_open_path(open.get(), dir.file("a.update").c_str()), KP_OK);
    char buffer[16];
    std::size_t got = 0;
    char hex[65];
    kp_entry entry{};
    entry.struct_size = sizeof entry;
    kp_header header{};
    header.struct_size = sizeof header;
    kp_group group{};
    group.struct_size = sizeof group;
    uint32_t position = 0;
    struct Case {
        const char* what;
        int status;
        const char* said;
        int (*call)(kp_archive*, char*, std::size_t*, char*, kp_entry*, kp_header*, kp_group*, uint32_t*);
        bool on_open = false;
    };
    const Case cases[] = {
        {"read, nothing open", KP_ERROR_STATE, "no update file is open",
         [](kp_archive* a, char* b, std::size_t* g, char*, kp_entry*, kp_header*, kp_group*, uint32_t*) {
             return kp_read(a, 0, 0, 0, b, 16, g);
         }},
        {"read to a descriptor, nothing open", KP_ERROR_STATE, "no update file is open",
         [](kp_archive* a, char*, std::size_t*, char*, kp_entry*, kp_header*, kp_group*, uint32_t*) {
             return kp_read_to_fd(a, 0, 0, 1);
         }},
        {"digest, nothing open", KP_ERROR_STATE, "no update file is open",
         [](kp_archive* a, char*, std::size_t*, char* h, kp_entry*, kp_header*, kp_group*, uint32_t*) {
             return kp_sha256(a, 0, 0, h);
         }},
        {"entry, nothing open", KP_ERROR_STATE, "no update file is open",
         [](kp_archive* a, char*, std::size_t*, char*, kp_entry* e, kp_header*, kp_group*, uint32_t*) {
             return kp_get_entry(a, 0, e);
         }},
        {"header, nothing open", KP_ERROR_STATE, "no update file is open",
         [](kp_archive* a, char*, std::size_t*, char*, kp_entry*, kp_header* h, kp_group*, uint32_t*) {
             return kp_get_header(a, h);
         }},
        {"entry past the end", KP_ERROR_ARGUMENT, "no entry at position 7; the update file holds 7",
         [](kp_archive* a, char*, std::size_t*, char*, kp_entry* e, kp_header*, kp_group*, uint32_t*) {
             return kp_get_entry(a, 7, e);
         },
         true},
        {"group past the end", KP_ERROR_ARGUMENT, "no group 2; the update file has 2",
         [](kp_archive* a, char*, std::size_t*, char*, kp_entry*, kp_header*, kp_group* g, uint32_t*) {
             return kp_get_group(a, 2, g);
         },
         true},
        {"a name no entry has", KP_ERROR_NOT_FOUND, "no file named none in archive",
         [](kp_archive* a, char*, std::size_t*, char*, kp_entry*, kp_header*, kp_group*, uint32_t* p) {
             return kp_find_entry(a, "none", p);
         },
         true},
        {"no entry to fill", KP_ERROR_ARGUMENT, "no entry given to fill",
         [](kp_archive* a, char*, std::size_t*, char*, kp_entry*, kp_header*, kp_group*, uint32_t*) {
             return kp_get_entry(a, 0, nullptr);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kp_archive* archive = c.on_open ? open.get() : idle.get();
        EXPECT_EQ(c.call(archive, buffer, &got, hex, &entry, &header, &group, &position), c.status);
        EXPECT_EQ(std::string(kp_reason(archive)), c.said);
        ASSERT_EQ(kp_get_entry(open.get(), 0, &entry), KP_OK);
        EXPECT_EQ(std::string(kp_reason(open.get())), "") << "a success says nothing";
    }

    // Creation leaves the handle it reports through with nothing open.
    kp_create_options create{};
    create.struct_size = sizeof create;
    const char* text = R"({"entries": []})";
    create.manifest_text = text;
    create.manifest_length = std::strlen(text);
    EXPECT_EQ(kp_create(open.get(), dir.file("new.update").c_str(), &create), KP_ERROR_FAILED);
    EXPECT_EQ(kp_entry_count(open.get()), 0u);
    EXPECT_EQ(kp_get_header(open.get(), &header), KP_ERROR_STATE);
}

// "-" is a file's name to kp_open_path; standard input is descriptor 0, unless it is a terminal.
TEST(LibraryMisuse, OpensAFileNamedDashAndNoTerminal) {
    test::TempDir dir;
    test::write_file(dir.file("-"), build::bytes(build::sample()));
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const Handle handle = fresh_handle();
    const int status = kp_open_path(handle.get(), "-");
    std::filesystem::current_path(before);
    ASSERT_EQ(status, KP_OK) << kp_reason(handle.get());
    EXPECT_EQ(kp_is_stream(handle.get()), 0);
    EXPECT_EQ(kp_entry_count(handle.get()), 7u);
#ifndef _WIN32
    // Nobody types an update file: a terminal's descriptor is refused as its path is.
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal) | unlockpt(terminal), 0);
    const int typed = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    ASSERT_GE(typed, 0);
    EXPECT_EQ(kp_open_fd(handle.get(), typed), KP_ERROR_ARGUMENT);
    EXPECT_EQ(std::string(kp_reason(handle.get())), "refusing to read an update file from a terminal");
    EXPECT_EQ(kp_entry_count(handle.get()), 0u);
    close(typed);
    close(terminal);
#endif
}

}  // namespace
}  // namespace kp
