// The update file --diff's runs change one thing of at a time.
#pragma once

#include <string>

#include "archive_builder.h"

namespace kp::test {

// Three files, each's bytes given whole: the builder's filling depends on the position.
inline build::Archive diff_base() {
    build::Archive plan;
    plan.version = "fw 1";
    plan.entries = {{"a.bin", 1, 1000, {1, 2, 3, 4}, std::string(1000, 'a')},
                    {"fw/k.img", 2, 600, {5, 6, 7, 8}, "kernel" + std::string(594, 'k')},
                    {"notes.txt", 3, 10, {9, 9, 9, 9}, "notes-0123"}};
    return plan;
}

}  // namespace kp::test
