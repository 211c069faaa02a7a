#include "report/reports.h"

#include <cstring>

#include "console/format.h"

namespace kp {

namespace {

// The listing shows u32 fields as signed 32-bit decimals.
i32 as_signed(u32 value) {
    return static_cast<i32>(value);
}

// The name field as it may be shown: the field's own text where it needs no escaping,
// which spares a copy per listed file; otherwise a shown copy kept in `scratch`. Either
// is followed by a NUL, the field's own or the copy's.
std::string_view shown_text(const ConsoleOutput& console, const DirectoryRecord& record, std::string& scratch) {
    const std::string_view text = record_text(record.name);
    if (!console.terminal && text.size() < record.name.size()) return text;
    scratch = escape_for_console(console, text);
    return scratch;
}

// The same, for a "%s".
const char* shown_name(const ConsoleOutput& console, const DirectoryRecord& record, std::string& scratch) {
    return shown_text(console, record, scratch).data();
}

// The bytes a row needs besides its name: three numbers, each in the room of 21 bytes
// that put_decimal and put_hex may write in, and their separators.
constexpr std::size_t row_room = 3 * 21 + 2;

// The listings' rows are written straight into the console's buffer: there are thousands,
// and reading a format for each took as long as all else the listing does.
char* put_text(char* out, std::string_view text, char end) {
    std::memcpy(out, text.data(), text.size());
    out += text.size();
    *out++ = end;
    return out;
}

}  // namespace

void print_mismatches(ConsoleOutput& console, const UpdateArchive& archive, bool to_stderr) {
    std::string scratch;
    for (const u32 position : archive.mismatched) {
        const DirectoryRecord& record = archive.entries[position].record;
        if (to_stderr) {
            console_to_stderr(console, "2nd data mismatch at (" + std::to_string(as_signed(record.index)) + ") " +
                                           escape_for_stderr(console, record_text(record.name)) + ".\n");
        } else {
            console_print(console, attr_red, "2nd data mismatch at (%d) %s.\n", as_signed(record.index),
                          shown_name(console, record, scratch));
        }
    }
}

void print_version_summary(ConsoleOutput& console, const UpdateArchive& archive) {
    if (!archive.loaded) return;
    console_print(console, attr_grey, "firmware update version is\n");
    std::string scratch;
    console_print(console, attr_green, "%s\n", shown_name(console, archive.header.record, scratch));
    console_print(console, attr_grey, " %8d  files in archive\n[%08x] start of data\n%9d  bytes in total.\n\n",
                  as_signed(archive.header.record.index), archive.data_start,
                  as_signed(static_cast<u32>(archive.data_start + archive.chunk_sum)));
}

// "%5d\t%8d\t%08x\t%s%c" of the index, size, offset and name.
void print_row(ConsoleOutput& console, const EntryRecord& entry, std::string& scratch, char end = '\n') {
    const std::string_view name = shown_text(console, entry.record, scratch);
    char* out = console_line(console, attr_yellow, row_room + name.size());
    out = put_decimal(out, as_signed(entry.record.index), 5);
    *out++ = '\t';
    out = put_decimal(out, as_signed(entry.record.size), 8);
    *out++ = '\t';
    out = put_hex(out, entry.data_offset, 8);
    *out++ = '\t';
    console_commit_line(console, put_text(out, name, end));
}

void print_listing_rows(ConsoleOutput& console, const UpdateArchive& archive, const std::vector<u32>& positions,
                        char end) {
    std::string scratch;
    for (const u32 position : positions) print_row(console, archive.entries[position], scratch, end);
}

void print_directory_listing(ConsoleOutput& console, const UpdateArchive& archive) {
    if (!archive.loaded) return;
    console_print(console, attr_white, "index\t    size\t  offset\tname\t\n");
    console_print(console, attr_blue, console.separator.c_str());
    std::string scratch;
    for (const EntryRecord& entry : archive.entries) print_row(console, entry, scratch);
    console_print(console, attr_blue, console.separator.c_str());
    console_print(console, attr_white, "%8d [%08x] used archive-size (without header).\n", as_signed(archive.used_size),
                  archive.used_size);
    console_print(console, attr_white, "%8d [%08x] summed up chunksize.\n", as_signed(archive.chunk_sum),
                  archive.chunk_sum);
}

void print_signature_groups(ConsoleOutput& console, const UpdateArchive& archive) {
    if (!archive.loaded) return;
    console_print(console, attr_white, "\n--- Files with common data signatures: ---\n");
    std::string scratch;
    for (const SignatureGroup& group : archive.groups) {
        console_print(console, attr_blue, "\n[%016I64x]\n", wide(group.signature));
        for (const u32 position : group.positions) {
            // "%016I64x:%016I64x:%016I64x:%s\n" of the other signatures and the name.
            const DirectoryRecord& record = archive.entries[position].record;
            const std::string_view name = shown_text(console, record, scratch);
            char* out = console_line(console, attr_yellow, row_room + name.size());
            for (std::size_t part = 1; part < 4; ++part) {
                out = put_hex(out, record.signature[part], 16);
                *out++ = ':';
            }
            console_commit_line(console, put_text(out, name, '\n'));
        }
    }
}

}  // namespace kp
