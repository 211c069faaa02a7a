// The file system a mount serves, as FUSE's operations. FILE is held open; every read is
// a splice or a pread at the entry's offset, from any of FUSE's threads, and gives all
// the bytes it was asked for that the entry has, or fails.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>
#include <sys/stat.h>

#include <string>

#include "archive/update_archive.h"
#include "fs/copy.h"
#include "mount/mount_tree.h"

namespace kp {

// What a mount serves: FILE, opened once, what was loaded from it and the tree it shows.
struct Mount {
    std::string file;
    SourceFile source;
    UpdateArchive archive;
    MountTree tree;
    bool padded = false;
    struct stat file_stat {};
};

// The operations, each answering from the Mount given to fuse_new as its private data;
// every change is refused with EROFS.
fuse_operations mount_operations();

}  // namespace kp
