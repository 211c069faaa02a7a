// Builds update files in memory, for the tests and for examples/sample.update.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kp::build {

struct Entry {
    std::string name;  // more than 88 bytes are cut to 88, leaving no NUL
    std::uint32_t index = 0;
    std::uint32_t size = 0;
    std::array<std::uint64_t, 4> signature{};
    std::string data;  // first bytes of the file; the rest up to `size` is a pattern
};

struct Archive {
    std::string version = "test firmware";
    std::vector<Entry> entries;
    std::optional<std::uint32_t> file_count;    // default: the number of entries
    std::optional<std::uint32_t> total_blocks;  // default: the consistent value
    bool with_data = true;                      // false: header and directory only
};

// Where the data region starts for `file_count` entries, and a size rounded up to its
// 512-byte chunk: the layout every archive built here follows.
std::uint32_t data_start_of(std::uint32_t file_count);
std::uint32_t chunk_of(std::uint32_t size);

// One 128-byte record.
std::string record(const std::string& name, std::uint32_t index, std::uint32_t size,
                   const std::array<std::uint64_t, 4>& signature = {});

// The total_blocks that makes `archive` consistent.
std::uint32_t consistent_total_blocks(const Archive& archive);

// The whole file: header, directory and, with data, every chunk zero-padded to 512.
// When the data region begins inside the directory (a file count that is a multiple
// of four), the directory bytes win.
std::string bytes(const Archive& archive);

// The bundled sample: seven entries, a group of three with one second-signature
// mismatch, a group of two, an empty entry.
Archive sample();

}  // namespace kp::build
