// libFuzzer target: the library reading an update file through a caller's read function
// that misbehaves as the input's last eight bytes say: short reads, counts past what was
// asked, negative counts, failures with and without errno, EINTR. Whatever the function
// does, nothing crashes or overruns, and every answer given as a success is the answer
// an honest function gets for the same bytes: a digest is right or it is an error.
#include <kpupdate.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t script_size = 8;

struct Reader {
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;
    const std::uint8_t* script = nullptr;  // null: honest
    unsigned calls = 0;
    unsigned interrupted = 0;  // EINTRs in a row, which the library retries for as long as they come
    bool failed = false;       // it said something other than a count of what it gave
};

ptrdiff_t read_from(void* context, void* buffer, std::size_t size) {
    Reader& reader = *static_cast<Reader*>(context);
    const std::uint8_t step = reader.script != nullptr ? reader.script[reader.calls++ % script_size] : 0;
    std::size_t most = size;
    switch (step % 8) {
        case 3:
            most = static_cast<std::size_t>(step >> 3) + 1;
            break;
        case 4:
            if (reader.interrupted++ < script_size) {
                errno = EINTR;
                return -1;
            }
            break;
        case 5:
            reader.failed = true;
            return static_cast<ptrdiff_t>(size + 1 + step);
        case 6: {
            static constexpr int errors[] = {0, EIO, ENOSPC, EAGAIN};
            reader.failed = true;
            errno = errors[step >> 3 & 3];
            return -1;
        }
        case 7:
            reader.failed = true;
            return -2 - (step >> 3);
        default:
            break;
    }
    reader.interrupted = 0;
    const std::size_t given = std::min({size, most, reader.size - reader.at});
    if (given > 0) std::memcpy(buffer, reader.bytes + reader.at, given);
    reader.at += given;
    return static_cast<ptrdiff_t>(given);
}

struct Result {
    int opened = KP_OK;
    std::vector<int> statuses;
    std::vector<std::string> digests;
    int listed = KP_OK;
};

Result read_all(Reader& reader) {
    Result result;
    std::unique_ptr<kp_archive, decltype(&kp_close)> handle(kp_new(), kp_close);
    if (!handle) std::abort();
    result.opened = kp_open_stream(handle.get(), read_from, &reader);
    if (result.opened != KP_OK) return result;
    for (uint32_t position = 0; position < kp_entry_count(handle.get()); ++position) {
        char hex[65] = {};
        result.statuses.push_back(kp_sha256(handle.get(), position, (position & 1) != 0, hex));
        result.digests.emplace_back(hex);
    }
    char* document = nullptr;
    result.listed = kp_json(handle.get(), &document, nullptr);
    kp_free(document);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < script_size) return 0;
    const std::size_t file_size = size - script_size;
    Reader honest{data, file_size};
    Reader tried{data, file_size, 0, data + file_size};
    const Result expected = read_all(honest);
    const Result got = read_all(tried);
    // Failing is allowed only where the function failed; answering otherwise than an
    // honest function's bytes give, never.
    if (got.opened != KP_OK) {
        if (!tried.failed && got.opened != expected.opened) std::abort();
        return 0;
    }
    if (expected.opened != KP_OK || got.statuses.size() != expected.statuses.size()) std::abort();
    for (std::size_t i = 0; i < got.statuses.size(); ++i) {
        if (got.statuses[i] == KP_OK && (expected.statuses[i] != KP_OK || got.digests[i] != expected.digests[i]))
            std::abort();
        if (got.statuses[i] != expected.statuses[i] && !tried.failed) std::abort();
    }
    if (got.listed != expected.listed && !tried.failed) std::abort();
    return 0;
}
