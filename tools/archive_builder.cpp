#include "archive_builder.h"

#include <algorithm>

namespace kp::build {

namespace {

void put_u32(std::string& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>(value >> (8 * i));
}

void put_u64(std::string& out, std::size_t at, std::uint64_t value) {
    put_u32(out, at, static_cast<std::uint32_t>(value));
    put_u32(out, at + 4, static_cast<std::uint32_t>(value >> 32));
}

std::uint32_t file_count_of(const Archive& archive) {
    return archive.file_count.value_or(static_cast<std::uint32_t>(archive.entries.size()));
}

}  // namespace

std::uint32_t data_start_of(std::uint32_t file_count) {
    return (file_count + 3) / 4 * 512;
}

std::uint32_t chunk_of(std::uint32_t size) {
    return (size + 511u) & ~511u;
}

std::string record(const std::string& name, std::uint32_t index, std::uint32_t size,
                   const std::array<std::uint64_t, 4>& signature) {
    std::string out(128, '\0');
    std::copy_n(name.begin(), std::min<std::size_t>(name.size(), 88), out.begin());
    put_u32(out, 88, index);
    put_u32(out, 92, size);
    for (std::size_t i = 0; i < 4; ++i) put_u64(out, 96 + 8 * i, signature[i]);
    return out;
}

std::uint32_t consistent_total_blocks(const Archive& archive) {
    std::uint32_t end = data_start_of(file_count_of(archive));
    for (const Entry& entry : archive.entries) end += chunk_of(entry.size);
    return end / 512;
}

std::string bytes(const Archive& archive) {
    const std::uint32_t file_count = file_count_of(archive);
    std::string directory =
        record(archive.version, file_count, archive.total_blocks.value_or(consistent_total_blocks(archive)));
    for (const Entry& entry : archive.entries) {
        directory += record(entry.name, entry.index, entry.size, entry.signature);
    }
    if (!archive.with_data) {
        return directory;
    }
    std::string out(data_start_of(file_count), '\0');
    for (std::size_t position = 0; position < archive.entries.size(); ++position) {
        const Entry& entry = archive.entries[position];
        std::string chunk(chunk_of(entry.size), '\0');
        for (std::uint32_t i = 0; i < entry.size; ++i) {
            chunk[i] = i < entry.data.size() ? entry.data[i] : static_cast<char>('a' + (position + i) % 26);
        }
        out += chunk;
    }
    if (out.size() < directory.size()) out.resize(directory.size());
    std::copy(directory.begin(), directory.end(), out.begin());
    return out;
}

Archive sample() {
    constexpr std::uint64_t boot = 0x3c4a5b6d7e8f9012;
    constexpr std::uint64_t kernel = 0x9e3779b97f4a7c15;
    Archive archive;
    archive.version = "Pardo P7 firmware 2.8.1 build 4410";
    archive.entries = {
        {"bootloader.bin", 0, 3000, {boot, 0x1111222233334444, 0x0badc0de0badc0de, 0x00000000c0ffee01}, "BOOT"},
        {"kernel.img", 1, 9001, {kernel, 0x5555666677778888, 0x0123456789abcdef, 0x00000000c0ffee02}, "KERN"},
        {"settings.ini", 2, 0, {0x00000000deadbeef, 0, 0, 0}, ""},
        {"kernel-backup.img", 3, 9001, {kernel, 0x5555666677778888, 0x0123456789abcdef, 0x00000000c0ffee02}, "KERN"},
        {"bootloader-old.bin", 4, 3000, {boot, 0x9999aaaabbbbcccc, 0x0badc0de0badc0de, 0x00000000c0ffee03}, "BOOT"},
        {"bootloader-copy.bin", 5, 3000, {boot, 0x1111222233334444, 0x0badc0de0badc0de, 0x00000000c0ffee01}, "BOOT"},
        {"release-notes.txt", 6, 700, {0xf00dfacecafe0042, 1, 2, 3}, "Release notes\n"},
    };
    return archive;
}

}  // namespace kp::build
