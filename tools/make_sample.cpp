// Writes the bundled sample update file: make_sample examples/sample.update
#include <cstdio>
#include <fstream>

#include "archive_builder.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample OUTPUT\n");
        return 2;
    }
    const std::string data = kp::build::bytes(kp::build::sample());
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "make_sample: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
