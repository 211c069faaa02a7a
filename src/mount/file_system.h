// The file system a mount serves, as FUSE's operations. FILE is held open; every read is
// a splice or a pread at the entry's offset, from any of FUSE's threads, and gives all
// the bytes it was asked for that the entry has, or fails.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>
#include <sys/stat.h>

#include "mount/mount_tree.h"

namespace kpmount {

// What a mount serves: FILE, opened once and held, and the tree it shows.
struct Mount {
    int file = -1;
    struct stat file_stat {};
    MountTree tree;
};

// The operations, each answering from the Mount given to fuse_new as its private data;
// every change is refused with EROFS.
fuse_operations mount_operations();

}  // namespace kpmount
