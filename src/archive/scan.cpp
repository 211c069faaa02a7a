#include "archive/scan.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "archive/update_archive.h"
#include "console/console.h"

namespace kp {

namespace {

// The most a header and its directory span: what must be held ahead of an offset before
// it can be judged.
constexpr std::size_t lookahead = record_size + record_size * max_file_count;
constexpr std::size_t block_size = std::size_t{4} << 20;
constexpr std::size_t buffer_size = block_size + lookahead;

// The running sums below are kept for one position in every 128 (a directory's records
// lie 128 apart), by absolute position in a ring that spans more than any directory.
constexpr std::size_t ring_size = std::size_t{1} << 20;
static_assert(ring_size > lookahead + record_size);

// Past this the chunks' u32 offsets have wrapped: no real update file ends there.
constexpr u64 largest_end = u64{1} << 32;

// Sixteen offsets judged at once by their count field, in vector registers where the
// target has them and in plain integers where it has not.
using Lanes = unsigned char __attribute__((vector_size(16)));

Lanes load_lanes(const unsigned char* bytes) {
    Lanes lanes;
    std::memcpy(&lanes, bytes, sizeof lanes);
    return lanes;
}

// Per position r (mod 128), running sums over the records at r, r+128, ...: a
// directory's chunk total, and its count of names no hit may have, are then two lookups
// however long it is. Each class is extended only as far as a candidate needs and
// started afresh where it has fallen behind, so no record is summed twice.
struct ClassSums {
    std::array<u64, record_size> position{};
    std::array<bool, record_size> started{};
};

struct Scanner {
    Scanner(const ScanRules& rules_in, const ScanEvents& events_in) : rules(rules_in), events(events_in) {}
    const ScanRules& rules;
    const ScanEvents& events;
    std::unique_ptr<unsigned char[]> bytes = std::make_unique_for_overwrite<unsigned char[]>(buffer_size);
    u64 base = 0;  // offset of bytes[0] in the blob
    std::size_t held = 0;
    ClassSums chunk_classes;
    // Made once the first read tells how much is needed: a blob that ends within it needs
    // rings no longer than itself, which keeps a small file's scan cheap.
    u64 ring_mask = 0;
    std::unique_ptr<u64[]> chunk_sums;
    ClassSums name_classes;
    std::unique_ptr<u32[]> name_fault_sums;

    void make_rings(std::size_t size) {
        ring_mask = size - 1;
        chunk_sums = std::make_unique_for_overwrite<u64[]>(size);
        name_fault_sums = std::make_unique_for_overwrite<u32[]>(size);
    }

    const unsigned char* at(u64 offset) const { return bytes.get() + (offset - base); }
};

// Whether the 88-byte field at `field` holds a text that ends in a NUL, in `text`.
bool field_text(const unsigned char* field, std::string_view& text) {
    const void* nul = std::memchr(field, 0, text_field_size);
    if (nul == nullptr) return false;
    text = {reinterpret_cast<const char*>(field),
            static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - field)};
    return true;
}

// Text people write: UTF-8 without a control character. Chance bytes in binaries
// are mostly lone bytes above 0x7F, or small integers.
bool text_plausible(std::string_view text) {
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text.front());
        if (byte < 0x20 || byte == 0x7F) return false;
        const std::size_t length = utf8_sequence(text);
        if (length == 0) return false;
        text.remove_prefix(length);
    }
    return true;
}

// Whether the field's bytes after its text are all zero, as a writer that clears the
// record first leaves them: bytes of a blob that merely happen to parse rarely are.
bool tidy_tail(const unsigned char* field, std::string_view text) {
    const unsigned char* byte = field + text.size();
    return std::all_of(byte, field + text_field_size, [](unsigned char b) { return b == 0; });
}

// Per record: 1 for a name no hit may have, and 1 << 16 for a name whose field has
// bytes after its text; a directory's sum of both tells each count apart.
constexpr u32 untidy_name = 1u << 16;

u32 name_faults(const Scanner& scanner, u64 position) {
    const unsigned char* field = scanner.at(position);
    std::string_view name;
    if (!field_text(field, name) || name.empty() || !text_plausible(name)) return 1;
    if (scanner.rules.name_accepted != nullptr && !scanner.rules.name_accepted(name)) return 1;
    return tidy_tail(field, name) ? 0 : untidy_name;
}

// The header's text ends in a NUL and reads as text; `tidy` when it holds some and the
// field is zero after it.
bool version_plausible(const unsigned char* header, bool& tidy) {
    std::string_view text;
    if (!field_text(header, text) || !text_plausible(text)) return false;
    tidy = !text.empty() && tidy_tail(header, text);
    return true;
}

// The sum over the records at [first, end) of one class, by `value` of each record,
// in wrapping arithmetic of T: differences of it are exact while the true sum fits.
template <typename T, typename Value>
T class_sum(ClassSums& classes, T* ring, u64 ring_mask, u64 first, u64 end, Value value) {
    const std::size_t r = first % record_size;
    u64& position = classes.position[r];
    if (!classes.started[r] || position < first) {
        classes.started[r] = true;
        position = first;
        ring[first & ring_mask] = 0;
    }
    T sum = ring[position & ring_mask];
    for (; position < end; position += record_size) {
        sum = static_cast<T>(sum + value(position));
        ring[(position + record_size) & ring_mask] = sum;
    }
    return static_cast<T>(ring[end & ring_mask] - ring[first & ring_mask]);
}

// How many records class_sum would walk for [first, end) now.
u64 class_walk(const ClassSums& classes, u64 first, u64 end) {
    const std::size_t r = first % record_size;
    const u64 from = classes.started[r] && classes.position[r] >= first ? classes.position[r] : first;
    return end > from ? (end - from) / record_size : 0;
}

constexpr u64 short_walk = 8;

void judge(Scanner& scanner, u64 offset) {
    const unsigned char* header = scanner.at(offset);
    const u32 count = read_u32le(header + index_offset);
    if (count < 1 || count > max_file_count) return;
    const u64 first = offset + record_size;
    const u64 directory_end = first + u64{count} * record_size;
    if (directory_end > scanner.base + scanner.held) return;  // the blob ends inside it
    const u32 total_blocks = read_u32le(header + size_offset);
    const u64 declared = u64{total_blocks} * chunk_alignment;
    const u64 data_start = data_start_of(count);
    const bool strict = !scanner.rules.weak;
    if (strict && (declared < data_start || declared > largest_end)) return;
    // The sum costs a walk of the records its class has not reached: where that is long,
    // what a strict scan can tell of the offset itself goes first, or chance offsets in
    // real data would start one walk after another; where short (a blob of one record
    // repeated), the sum goes first, and the text is read only of offsets it leaves.
    bool tidy_version = false;
    const auto header_plausible = [&] {
        return version_plausible(header, tidy_version) && name_faults(scanner, first) % untidy_name == 0 &&
               name_faults(scanner, directory_end - record_size) % untidy_name == 0;
    };
    const bool text_first = strict && class_walk(scanner.chunk_classes, first, directory_end) > short_walk;
    if (text_first && !header_plausible()) return;
    const u64 chunks = class_sum<u64>(
        scanner.chunk_classes, scanner.chunk_sums.get(), scanner.ring_mask, first, directory_end,
        [&scanner](u64 position) -> u64 { return chunk_size_of(read_u32le(scanner.at(position) + size_offset)); });
    if (static_cast<u32>(data_start + chunks) != static_cast<u32>(declared)) return;  // the loader's own check
    // Besides names and text that read as such, one of two tidy habits of writers: every
    // name's field zero after the name, or a version text with its field zero after it.
    // Measured on a system's own files, each alone leaves no chance match.
    bool plausible =
        data_start + chunks == declared && declared <= largest_end && chunks != 0 && (text_first || header_plausible());
    if (plausible) {
        const u32 faults =
            class_sum<u32>(scanner.name_classes, scanner.name_fault_sums.get(), scanner.ring_mask, first, directory_end,
                           [&scanner](u64 position) { return name_faults(scanner, position); });
        plausible = faults % untidy_name == 0 && (faults == 0 || tidy_version);
    }
    if (!plausible && strict) return;

    ScanHit hit;
    hit.offset = offset;
    hit.file_count = count;
    hit.total_blocks = total_blocks;
    hit.data_start = data_start;
    hit.derived_end = data_start + chunks;
    std::memcpy(hit.version.data(), header, text_field_size);
    hit.weak = !plausible;
    if (scanner.events.found != nullptr) scanner.events.found(scanner.events.context, hit);
}

u64 lanes_mask(Lanes lanes) {
    u64 halves[2];
    std::memcpy(halves, &lanes, sizeof halves);
    return halves[0] | halves[1];
}

// Judges every offset in [from, to), each of whose 128-byte headers the buffer holds.
// Most offsets fall at the count field: it must be 1 to 5000, so its two high bytes are
// zero and its low two are not both zero. A strict scan also wants a total of 1 to 2^23
// blocks (an end within 4 GiB) and a first name that is not empty, which the buffer
// holds wherever a directory can lie. Sixteen offsets at a time are tested for that.
void judge_range(Scanner& scanner, u64 from, u64 to) {
    const bool strict = !scanner.rules.weak;
    const u64 end = scanner.base + scanner.held;
    u64 offset = from;
    for (; offset + 16 <= to; offset += 16) {
        const unsigned char* count = scanner.at(offset) + index_offset;
        const Lanes low = load_lanes(count);
        const Lanes second = load_lanes(count + 1);
        const auto small = (load_lanes(count + 2) == 0) & (load_lanes(count + 3) == 0) & (second < 0x14) &
                           ~((low == 0) & (second == 0));  // 5000 is 0x1388
        Lanes maybe = reinterpret_cast<Lanes>(small);
        if (lanes_mask(maybe) == 0) continue;
        if (strict && offset + 16 + record_size <= end) {
            const unsigned char* total = scanner.at(offset) + size_offset;
            const auto blocks =
                (load_lanes(total + 3) == 0) & (load_lanes(total + 2) < 0x80) &
                ~((load_lanes(total) == 0) & (load_lanes(total + 1) == 0) & (load_lanes(total + 2) == 0));
            maybe &= reinterpret_cast<Lanes>(blocks & (load_lanes(scanner.at(offset) + record_size) != 0));
        }
        if (lanes_mask(maybe) == 0) continue;
        unsigned char lane[16];
        std::memcpy(lane, &maybe, sizeof lane);
        for (unsigned i = 0; i < 16; ++i) {
            if (lane[i] != 0) judge(scanner, offset + i);
        }
    }
    for (; offset < to; ++offset) judge(scanner, offset);
}

// Reads until the buffer is full or the blob ends; true at the end.
bool fill(Scanner& scanner, const ScanReader& read) {
    const std::size_t wanted = buffer_size - scanner.held;
    const std::size_t got = read.read(read.context, scanner.bytes.get() + scanner.held, wanted);
    scanner.held += got;
    return got < wanted;
}

void let_go(Scanner& scanner, u64 upto) {
    const auto count = static_cast<std::size_t>(upto - scanner.base);
    if (count == 0) return;
    if (scanner.events.passed != nullptr)
        scanner.events.passed(scanner.events.context, scanner.base, scanner.bytes.get(), count);
    std::memmove(scanner.bytes.get(), scanner.bytes.get() + count, scanner.held - count);
    scanner.held -= count;
    scanner.base = upto;
}

}  // namespace

u64 scan_blob(const ScanReader& read, const ScanRules& rules, const ScanEvents& events) {
    Scanner scanner(rules, events);
    for (;;) {
        const bool ended = fill(scanner, read);
        if (!scanner.chunk_sums) scanner.make_rings(ended ? std::bit_ceil(scanner.held + 2 * record_size) : ring_size);
        const u64 end = scanner.base + scanner.held;
        // Judged now: what has its longest directory in the buffer, or, at the end, all.
        const u64 judged = ended ? end : end - lookahead;
        const u64 last_header = end >= record_size ? end - record_size + 1 : 0;
        if (scanner.base < std::min(judged, last_header))
            judge_range(scanner, scanner.base, std::min(judged, last_header));
        if (ended) {
            let_go(scanner, end);
            return end;
        }
        let_go(scanner, judged);
    }
}

std::size_t scan_memory() {
    return buffer_size + ring_size * (sizeof(u64) + sizeof(u32));
}

}  // namespace kp
