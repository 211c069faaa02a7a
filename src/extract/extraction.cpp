#include "extract/extraction.h"

#include <algorithm>
#include <fstream>
#include <new>
#include <random>
#include <string>
#include <system_error>

#include "archive/file_path.h"
#include "extract/chunk_memory.h"

namespace kp {

namespace {

#ifdef _WIN32
constexpr bool device_names_reserved = true;
#else
constexpr bool device_names_reserved = false;
#endif

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// A name beside `target` that no file holds yet, as far as can be told.
std::filesystem::path temporary_beside(const std::filesystem::path& target) {
    std::random_device seed;
    std::mt19937 random(seed());
    std::filesystem::path candidate;
    for (int attempt = 0; attempt < 100; ++attempt) {
        candidate = target;
        candidate += ".kpupdate-" + std::to_string(random() % 1000000000u);
        std::error_code error;
        if (!std::filesystem::exists(candidate, error)) break;
    }
    return candidate;
}

// Writes go out in pieces of this size. One write of a whole large chunk makes the
// kernel fill the new file's cache with its largest blocks of memory, which on a
// virtual machine may first have to be handed back by the host: measured, a 512 MiB
// chunk written in one call took up to ten times as long as the same bytes in these
// pieces, which stayed as steady as a plain file copy.
constexpr u32 write_piece = u32{128} * 1024;

bool write_all(const std::filesystem::path& path, const unsigned char* data, u32 size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return false;
    for (u32 done = 0; done < size && out;) {
        const u32 piece = std::min(size - done, write_piece);
        out.write(reinterpret_cast<const char*>(data + done), static_cast<std::streamsize>(piece));
        done += piece;
    }
    out.close();
    return !out.fail();
}

}  // namespace

EntryRecord* find_entry_by_index(UpdateArchive& archive, i32 index) {
    if (!archive.loaded) return nullptr;
    for (auto entry = archive.entries.rbegin(); entry != archive.entries.rend(); ++entry) {
        if (entry->record.index == static_cast<u32>(index)) return &*entry;
    }
    return nullptr;
}

EntryRecord* extract_entry(UpdateArchive& archive, i32 index) {
    EntryRecord* entry = find_entry_by_index(archive, index);
    if (entry == nullptr) return nullptr;
    if (entry->data == nullptr) {
        // A view of a large chunk spares filling fresh memory and one copy of its bytes.
        entry->data = map_file_chunk(file_path(archive.path), entry->data_offset, entry->chunk_size);
        if (entry->data != nullptr) return entry;
    }
    std::ifstream in(file_path(archive.path), std::ios::binary);
    if (!in.is_open()) return nullptr;
    return load_entry_data(archive, in, index);
}

EntryRecord* load_entry_data(UpdateArchive& archive, std::istream& stream, i32 index) {
    EntryRecord* entry = find_entry_by_index(archive, index);
    if (entry == nullptr || entry->data != nullptr) return entry;

    // Bound the chunk by the file before allocating: the sizes come from the file.
    if (!stream.seekg(0, std::ios::end)) return nullptr;
    const std::streamoff length = stream.tellg();
    const std::streamoff end = std::streamoff{entry->data_offset} + std::streamoff{entry->chunk_size};
    if (length < 0 || end > length) return nullptr;

    ChunkBuffer data = allocate_chunk(entry->chunk_size);
    if (data == nullptr) return nullptr;
    if (!stream.seekg(std::streamoff{entry->data_offset}, std::ios::beg)) return nullptr;
    stream.read(reinterpret_cast<char*>(data.get()), static_cast<std::streamsize>(entry->chunk_size));
    if (stream.gcount() != static_cast<std::streamsize>(entry->chunk_size)) return nullptr;
    entry->data = std::move(data);
    return entry;
}

bool is_reserved_device_name(std::string_view component) {
    // Windows ignores the extension and trailing blanks when it looks for a device.
    std::string_view stem = component.substr(0, component.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    std::string upper(stem);
    for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" || upper == "CONIN$" ||
        upper == "CONOUT$") {
        return true;
    }
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) && upper[3] >= '1' &&
           upper[3] <= '9';
}

bool is_safe_entry_name(std::string_view name) {
    if (name.empty() || is_separator(name.front())) return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == ':') return false;
    }
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t stop = start;
        while (stop < name.size() && !is_separator(name[stop])) ++stop;
        const std::string_view component = name.substr(start, stop - start);
        if (component == ".." || (device_names_reserved && is_reserved_device_name(component))) return false;
        start = stop + 1;
    }
    return true;
}

bool write_entry_file(const UpdateArchive& archive, const EntryRecord* entry) {
    if (!archive.loaded || entry == nullptr || entry->data == nullptr) return false;
    const std::string_view name = record_text(entry->record.name);
    if (!is_safe_entry_name(name)) return false;

    const std::filesystem::path target = file_path(archive.base_directory + std::string(name));
    const std::filesystem::path temporary = temporary_beside(target);
    std::error_code error;
    if (write_all(temporary, entry->data.get(), entry->chunk_size)) {
        std::filesystem::rename(temporary, target, error);
        if (!error) return true;
    }
    std::filesystem::remove(temporary, error);
    return false;
}

}  // namespace kp
