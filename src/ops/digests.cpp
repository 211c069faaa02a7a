#include "ops/digests.h"

#include <algorithm>

#include "ops/entry_bytes.h"
#include "ops/names.h"

namespace kp {

std::vector<EntryDigest> entry_digests(const UpdateArchive& archive, const SelectedEntries& selected, u32 strip,
                                       SourceFile& source) {
    std::vector<EntryDigest> digests;
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
        if (name_refused(name, digest.problem)) continue;
        tell_problem(digest_bytes(source, own_bytes(entry), digest.digest), digest.problem);
        digest.done = digest.problem.failure == EntryFailure::none;
    }
    return digests;
}

namespace {

// What a stream reads, added to the digest of each entry whose next bytes it holds.
void take_sums(EntrySums& sums, u64 offset, const unsigned char* bytes, std::size_t size) {
    const std::vector<EntryRecord>& entries = sums.archive->entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ByteRange own = own_bytes(entries[i]);
        const u64 start = std::max(own.offset, offset);
        const u64 end = std::min(own.end(), offset + size);
        if (start >= end || start != own.offset + sums.seen[i]) continue;
        if (sums.seen[i] == 0 && !sha256_begin(sums.running[i])) continue;  // never begun, so never done
        sha256_add(sums.running[i], bytes + (start - offset), static_cast<std::size_t>(end - start));
        sums.seen[i] += end - start;
        if (sums.seen[i] == own.size && !sha256_end(sums.running[i], sums.sums[i].emplace())) sums.sums[i].reset();
    }
}

void tapped(void* context, u64 offset, const unsigned char* bytes, std::size_t size) {
    EntrySums& sums = *static_cast<EntrySums*>(context);
    if (sums.under.seen != nullptr) sums.under.seen(sums.under.context, offset, bytes, size);
    take_sums(sums, offset, bytes, size);
}

}  // namespace

void gather_entry_sums(const UpdateArchive& archive, SourceFile& source, EntrySums& sums) {
    const std::size_t count = archive.entries.size();
    sums.archive = &archive;
    sums.sums.assign(count, std::nullopt);
    sums.seen.assign(count, 0);
    sums.running.assign(count, {});
    for (std::size_t i = 0; i < count; ++i) {
        const ByteRange own = own_bytes(archive.entries[i]);
        Sha256Digest digest{};
        // No bytes lie anywhere: a stream is not read on for them.
        const bool empty = own.size == 0 && sha256_begin(sums.running[i]) && sha256_end(sums.running[i], digest);
        if (empty ||
            (!source.stream && own.size != 0 && digest_bytes(source, own, digest).kind == BytesProblem::Kind::none)) {
            sums.sums[i] = digest;
        }
    }
    if (!source.stream) return;
    // What the load read ahead is taken at once, the rest as the run reads it.
    take_sums(sums, source.position - source.buffered, source.buffer.data(), source.buffered);
    sums.under = source.tap;
    source.tap = {tapped, &sums};
}

void entry_sums_done(SourceFile& source, EntrySums& sums) {
    if (source.tap.context == &sums) source.tap = sums.under;
}

EntrySums::~EntrySums() {
    for (Sha256& digest : running) {
        Sha256Digest unused{};
        if (digest.context != nullptr) sha256_end(digest, unused);
    }
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
