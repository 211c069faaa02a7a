#include "ops/digests.h"

#include <algorithm>
#include <memory>

#include "fs/stream.h"
#include "ops/names.h"

namespace kp {

namespace {

// Each entry's bytes go through this much memory at a time: the digest runs at the speed
// of memory, and a piece this large costs one read call per megabyte.
constexpr std::size_t digest_piece = std::size_t{1} << 20;

}  // namespace

std::vector<EntryDigest> entry_digests(const UpdateArchive& archive, const SelectedEntries& selected, u32 strip,
                                       SourceFile& source) {
    std::vector<EntryDigest> digests;
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(digest_piece);
    for (const u32 position : selected.positions) {
        const EntryRecord& entry = archive.entries[position];
        const std::string_view name = stripped_name(record_text(entry.record.name), strip, native_name_rules());
        if (name.empty() && strip != 0) continue;  // written nowhere, so nothing to check
        EntryDigest& digest = digests.emplace_back();
        digest.position = position;
        digest.name = name;
        // Where '\' separates, the file written is reached by '/' as well, and sha256sum -c
        // takes a '\' as its escape: the separators of the name it checks are '/'.
        for (char& c : digest.name) c = is_name_separator(c, native_name_rules()) ? '/' : c;
        digest.problem.name_fault = name_fault(name, native_name_rules(), &digest.problem.part);
        if (digest.problem.name_fault != NameFault::none) {
            digest.problem.failure = EntryFailure::unsafe_name;
            continue;
        }
        const ByteRange range = own_bytes(entry);
        const bool passed = stream_passed(source, range.offset, range.size);
        if (!range.lies_within(source.length) || passed) {
            // Past the end as a file's would be, whether or not a stream went past its start.
            digest.problem.failure =
                range.lies_within(source.length) ? EntryFailure::passed : EntryFailure::outside_file;
            digest.problem.past_end = range.past(source.length);
            continue;
        }
        Sha256 sha;
        if (!sha256_begin(sha)) {
            digest.problem.failure = EntryFailure::write;  // the system's digest would not start
            digest.problem.system_text = "the digest could not be started";
            continue;
        }
        u64 done = 0;
        while (done < range.size) {
            const auto wanted = static_cast<std::size_t>(std::min<u64>(range.size - done, digest_piece));
            const std::size_t got = read_up_to(source, range.offset + done, buffer.get(), wanted);
            sha256_add(sha, buffer.get(), got);
            done += got;
            if (got < wanted) break;
        }
        digest.done = sha256_end(sha, digest.digest) && done == range.size;
        if (!digest.done) {  // a stream that ended, or a file cut short since it was measured
            digest.problem.failure = EntryFailure::outside_file;
            digest.problem.past_end = range.size - done;
            digest.problem.system_text = source.read_failure;
        }
    }
    return digests;
}

std::string hex_of(const Sha256Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : digest) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}

}  // namespace kp
