// What the file system's tests share with the runs of the binary: an entry of a built
// archive whose first signature is its index.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "archive_builder.h"

namespace kp::test {

inline build::Entry entry(std::string name, std::uint32_t index, std::uint32_t size, std::string data = "") {
    return {std::move(name), index, size, {index, 0, 0, 0}, std::move(data)};
}

}  // namespace kp::test
