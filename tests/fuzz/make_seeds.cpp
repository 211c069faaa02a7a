// Writes the fuzzer's seed corpus into a directory: make_seeds DIR
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

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
    // Names an archive could use to reach outside the directory it is extracted into, or to
    // trip the extraction up: one archive each, and all of them in one.
    const std::string hostile_names[] = {
        "..",
        "../up",
        "a/../../up",
        "a/..",
        "a/b/../../..",
        "/abs",
        "//abs",
        "c:drive",
        "C:\\drive",
        "\\share\\x",
        "a\\..\\..\\up",
        "dir/",
        "dir\\",
        ".",
        "a/.",
        "./a",
        "a//b",
        "fw",
        "fw/kernel",
        "fw",
        "x\x01y",
        "x\x7f",
        std::string(88, 'n'),
        std::string(87, 'd') + "/",
        "dup",
        "dup",
        "con",
        "a.bin.",
        "a.bin ",
    };
    Archive all_hostile;
    std::vector<std::string> seeds = {kp::build::bytes(kp::build::sample()), kp::build::bytes(two),
                                      kp::build::bytes(four)};
    seeds.push_back(seeds[0].substr(0, 700));
    std::uint32_t index = 0;
    for (const std::string& name : hostile_names) {
        Archive one;
        one.entries = {{"fw/kernel", 1, 100, {1, 0, 0, 0}, "before"}, {name, 2, 600, {2, 0, 0, 0}, "hostile"}};
        seeds.push_back(kp::build::bytes(one));
        all_hostile.entries.push_back({name, index, 100 + 37 * index, {index, 0, 0, 0}, name});
        ++index;
    }
    seeds.push_back(kp::build::bytes(all_hostile));
    // Chunks past the end of the file: the last one cut short, and the data region gone.
    seeds.push_back(seeds.back().substr(0, seeds.back().size() - 300));
    all_hostile.with_data = false;
    seeds.push_back(kp::build::bytes(all_hostile));
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        std::ofstream out(std::string(argv[1]) + "/seed-" + std::to_string(i), std::ios::binary);
        out << seeds[i];
        if (!out) return 1;
    }
    return 0;
}
