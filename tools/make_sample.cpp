// Writes update files for the repository:
//   make_sample OUTPUT            the bundled sample (examples/sample.update)
//   make_sample --bench DIR       the benchmark's inputs: listing.update with its files
//                                 in listing-files/, spread.update with the same files
//                                 over 50 directories in spread-files/, alternate.update
//                                 with them over 50 directories taken in turn, and
//                                 large.update holding large.bin
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive_builder.h"

namespace {

bool write(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) std::fprintf(stderr, "make_sample: cannot write %s\n", path.c_str());
    return static_cast<bool>(out);
}

// How the benchmark's 5000 files are named.
enum class Layout { flat, spread, alternate };

// 5000 files of 0 to 4096 bytes; every fiftieth pair shares its signatures. Named
// file-N.bin, or dNN/fNNNN.bin: spread, a hundred after one another to each of 50
// directories; alternating, file N in directory N mod 50.
bool write_listing(const std::string& dir, const std::string& name, Layout layout) {
    kp::build::Archive archive;
    archive.version = "benchmark listing";
    std::uint32_t state = 12345;
    for (std::uint32_t i = 0; i < 5000; ++i) {
        state = state * 1103515245u + 12345u;
        const std::uint64_t key = i % 50 == 1 ? i - 1 : i;
        char spread_name[32];
        std::snprintf(spread_name, sizeof spread_name, "d%02u/f%04u.bin",
                      static_cast<unsigned>(layout == Layout::spread ? i / 100 : i % 50), static_cast<unsigned>(i));
        archive.entries.push_back(
            {layout != Layout::flat ? std::string(spread_name) : "file-" + std::to_string(i) + ".bin",
             i,
             (state >> 8) % 4097,
             {0x9e3779b97f4a7c15ull * (key + 1), key, i, ~std::uint64_t{i}},
             ""});
    }
    const std::string bytes = kp::build::bytes(archive);
    const std::string files = dir + "/" + name + "-files";
    // Each file's bytes are where the builder put them: at its chunk in the archive.
    std::size_t offset = kp::build::data_start_of(5000);
    for (const kp::build::Entry& entry : archive.entries) {
        const std::string path = files + "/" + entry.name;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        if (!write(path, bytes.substr(offset, entry.size))) return false;
        offset += kp::build::chunk_of(entry.size);
    }
    return write(dir + "/" + name + ".update", bytes);
}

// One 512 MiB file, written in blocks to the archive and beside it.
bool write_large(const std::string& dir) {
    constexpr std::uint32_t size = 512u << 20;
    kp::build::Archive archive;
    archive.version = "benchmark large";
    archive.with_data = false;
    archive.entries = {{"large.bin", 1, size, {1, 2, 3, 4}, ""}};
    std::string head = kp::build::bytes(archive);
    head.resize(512, '\0');
    std::ofstream update(dir + "/large.update", std::ios::binary | std::ios::trunc);
    std::ofstream plain(dir + "/large.bin", std::ios::binary | std::ios::trunc);
    update << head;
    std::string block(1u << 20, '\0');
    for (std::uint32_t b = 0; b < size / block.size(); ++b) {
        for (std::size_t i = 0; i < block.size(); i += 8) std::memcpy(&block[i], &b, sizeof b);
        update.write(block.data(), static_cast<std::streamsize>(block.size()));
        plain.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    update.close();
    plain.close();
    return update && plain;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--bench") == 0) {
        return write_listing(argv[2], "listing", Layout::flat) && write_listing(argv[2], "spread", Layout::spread) &&
                       write_listing(argv[2], "alternate", Layout::alternate) && write_large(argv[2])
                   ? 0
                   : 1;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample OUTPUT | make_sample --bench DIR\n");
        return 2;
    }
    return write(argv[1], kp::build::bytes(kp::build::sample())) ? 0 : 1;
}
