#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/run_tool.h"

#include <gtest/gtest.h>

namespace kp::test {

TempDir::TempDir() {
    std::random_device seed;
    std::mt19937 random(seed());
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = base / ("kpupdate-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.generic_string();
            return;
        }
    }
    throw std::runtime_error("no temporary directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> tree(const std::string& root) {
    std::vector<std::string> found;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        found.push_back(item.path().lexically_relative(root).generic_string());  // links not followed
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string snapshot(const std::string& root) {
    std::string all;
    for (const std::string& name : tree(root)) {
        const std::string path = root + "/" + name;
        if (std::filesystem::is_directory(path)) {
            all += name + "/\n";
            continue;
        }
        const std::string bytes = read_file(path);
        all += name + " " + std::to_string(bytes.size()) + " " + std::to_string(std::hash<std::string>{}(bytes)) + "\n";
    }
    return all;
}

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool wait_until(const std::function<bool()>& happened) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!happened()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void expect_recorded(const std::string& printed, const std::string& name) {
    const std::string path = std::string(KPUPDATE_SOURCE_DIR) + "/tests/cli/expected/" + name;
    if (const char* regenerate = std::getenv("KPUPDATE_REGENERATE"); regenerate != nullptr && *regenerate == '1') {
        write_file(path, printed);
    }
    EXPECT_EQ(printed, read_file(path)) << name;
}

}  // namespace kp::test
