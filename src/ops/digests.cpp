#include "ops/digests.h"

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
