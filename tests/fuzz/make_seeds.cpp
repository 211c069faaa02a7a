// Writes the fuzzer's seed corpus into a directory: make_seeds DIR
#include <cstdio>
#include <fstream>
#include <string>

#include "archive_builder.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    using kp::build::Archive;
    Archive two;
    two.entries = {{"a.bin", 0, 1000, {5, 1, 2, 3}, ""}, {"b.bin", 1, 24, {5, 1, 4, 6}, ""}};
    Archive four;  // the data region starts at the last directory record
    four.entries = {{"w", 1, 1, {1, 0, 0, 0}, ""},
                    {"x", 2, 0, {1, 1, 0, 0}, ""},
                    {"y", 3, 512, {2, 0, 0, 0}, ""},
                    {"../z", 3, 513, {2, 0, 0, 0}, ""}};
    const std::string sample = kp::build::bytes(kp::build::sample());
    const std::string seeds[] = {sample, kp::build::bytes(two), kp::build::bytes(four), sample.substr(0, 700)};
    for (std::size_t i = 0; i < std::size(seeds); ++i) {
        std::ofstream out(std::string(argv[1]) + "/seed-" + std::to_string(i), std::ios::binary);
        out << seeds[i];
        if (!out) return 1;
    }
    return 0;
}
