#include "mount/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "mount/reads.h"

namespace kpmount {

namespace {

Mount& mount() {
    return *static_cast<Mount*>(fuse_get_context()->private_data);
}

const MountNode* node_at(const char* path) {
    const long at = find_node(mount().tree, path);
    return at < 0 ? nullptr : &mount().tree.nodes[static_cast<std::size_t>(at)];
}

// Where a file's bytes lie in FILE, or in the document.
Span bytes_of(const MountNode& node) {
    if (node.kind == MountNode::Kind::manifest) return {0, mount().tree.manifest.size()};
    const MountEntry& entry = mount().tree.entries[node.position];
    return {entry.offset, entry.size};
}

int get_attributes(const char* path, struct stat* out, fuse_file_info*) {
    const MountNode* node = node_at(path);
    if (node == nullptr) return -ENOENT;
    *out = {};
    out->st_ino = node->inode;
    out->st_uid = mount().file_stat.st_uid;
    out->st_gid = mount().file_stat.st_gid;
    out->st_mtim = mount().file_stat.st_mtim;
    out->st_ctim = mount().file_stat.st_ctim;
    out->st_atim = mount().file_stat.st_atim;
    if (node->kind == MountNode::Kind::directory) {
        out->st_mode = S_IFDIR | 0555;
        out->st_nlink = 2;
    } else {
        out->st_mode = S_IFREG | 0444;
        out->st_nlink = 1;
        out->st_size = static_cast<off_t>(bytes_of(*node).size);
        out->st_blocks = (out->st_size + 511) / 512;
    }
    return 0;
}

int read_directory(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
    const MountNode* node = node_at(path);
    if (node == nullptr) return -ENOENT;
    if (node->kind != MountNode::Kind::directory) return -ENOTDIR;
    fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
    for (const auto& [name, child] : node->children) {
        struct stat shown {};
        const MountNode& item = mount().tree.nodes[child];
        shown.st_ino = item.inode;
        shown.st_mode = item.kind == MountNode::Kind::directory ? S_IFDIR : S_IFREG;
        if (fill(buffer, name.c_str(), &shown, 0, fuse_fill_dir_flags{}) != 0) break;
    }
    return 0;
}

int open_file(const char* path, fuse_file_info* info) {
    const MountNode* node = node_at(path);
    if (node == nullptr) return -ENOENT;
    if (node->kind == MountNode::Kind::directory) return -EISDIR;
    if ((info->flags & O_ACCMODE) != O_RDONLY || (info->flags & O_TRUNC) != 0) return -EROFS;
    info->fh = static_cast<std::uint64_t>(node - mount().tree.nodes.data());
    struct stat now {};
    const Span span = bytes_of(*node);
    if (node->kind == MountNode::Kind::entry && span.size > 0 &&
        (::fstat(mount().file, &now) != 0 || !span.lies_within(static_cast<std::uint64_t>(now.st_size)))) {
        // Its bytes already run past FILE's end: every read comes here as it was asked,
        // not as the cache's pages, so that what FILE still holds reads up to its end.
        info->direct_io = 1;
        return 0;
    }
    info->keep_cache = 1;  // FILE is held, and a cut only fails the reads past it: pages read stay right
    return 0;
}

// A read gives every byte the entry has there or fails: a short reply would be taken
// for the entry's end, also where FILE was cut short since the mount began.
int read_file(const char*, char* buffer, std::size_t size, off_t offset, fuse_file_info* info) {
    if (offset < 0) return -EINVAL;
    const MountNode& node = mount().tree.nodes[info->fh];
    const Span span = bytes_of(node);
    const std::size_t wanted = bytes_wanted(span, static_cast<std::uint64_t>(offset), size);
    if (node.kind == MountNode::Kind::manifest) {
        std::memcpy(buffer, mount().tree.manifest.data() + offset, wanted);
        return static_cast<int>(wanted);
    }
    const int failed = read_whole(mount().file, span.offset + static_cast<std::uint64_t>(offset), buffer, wanted);
    return failed != 0 ? failed : static_cast<int>(wanted);
}

// A vector of one buffer of `size` bytes, in memory until its owner says otherwise.
fuse_bufvec one_buffer(std::size_t size) {
    fuse_bufvec vector{};
    vector.count = 1;
    vector.buf[0].size = size;
    vector.buf[0].fd = -1;
    return vector;
}

// Reads as read_file does, but where it can hands FUSE the bytes in a pipe, moved there
// from FILE inside the kernel (splice) and never copied through this process.
int read_buffer(const char* path, fuse_bufvec** out, std::size_t size, off_t offset, fuse_file_info* info) {
    const MountNode& node = mount().tree.nodes[info->fh];
    if (node.kind == MountNode::Kind::entry && offset >= 0) {
        const Span span = bytes_of(node);
        const std::size_t wanted = bytes_wanted(span, static_cast<std::uint64_t>(offset), size);
        const int pipe =
            wanted == 0 ? -1 : move_whole(mount().file, span.offset + static_cast<std::uint64_t>(offset), wanted);
        if (pipe >= 0) {
            auto* placed = static_cast<fuse_bufvec*>(std::malloc(sizeof(fuse_bufvec)));
            if (placed == nullptr) return -ENOMEM;  // the pipe is emptied before its next use
            *placed = one_buffer(wanted);
            placed->buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_RETRY);
            placed->buf[0].fd = pipe;
            *out = placed;
            return 0;
        }
    }
    auto* copied = static_cast<fuse_bufvec*>(std::malloc(sizeof(fuse_bufvec)));
    void* bytes = std::malloc(std::max<std::size_t>(size, 1));
    if (copied == nullptr || bytes == nullptr) {
        std::free(copied);
        std::free(bytes);
        return -ENOMEM;
    }
    const int got = read_file(path, static_cast<char*>(bytes), size, offset, info);
    if (got < 0) {
        std::free(copied);
        std::free(bytes);
        return got;
    }
    *copied = one_buffer(static_cast<std::size_t>(got));
    copied->buf[0].mem = bytes;
    *out = copied;
    return 0;
}

// The attributes a file carries: its index, position and signatures, as the reports print them.
std::string attribute_of(const MountNode& node, std::string_view name) {
    const MountEntry& entry = mount().tree.entries[node.position];
    char text[96];
    if (name == "user.kpupdate.index") {
        std::snprintf(text, sizeof text, "%u", entry.index);
    } else if (name == "user.kpupdate.position") {
        std::snprintf(text, sizeof text, "%u", node.position);
    } else if (name == "user.kpupdate.signatures") {
        const auto& s = entry.signatures;
        std::snprintf(text, sizeof text, "%016llx:%016llx:%016llx:%016llx", static_cast<unsigned long long>(s[0]),
                      static_cast<unsigned long long>(s[1]), static_cast<unsigned long long>(s[2]),
                      static_cast<unsigned long long>(s[3]));
    } else {
        return {};
    }
    return text;
}

constexpr char attribute_names[] = "user.kpupdate.index\0user.kpupdate.position\0user.kpupdate.signatures";

int get_attribute(const char* path, const char* name, char* value, std::size_t size) {
    const MountNode* node = node_at(path);
    if (node == nullptr) return -ENOENT;
    const std::string text = node->kind == MountNode::Kind::entry ? attribute_of(*node, name) : std::string();
    if (text.empty()) return -ENODATA;
    if (size == 0) return static_cast<int>(text.size());
    if (size < text.size()) return -ERANGE;
    std::copy(text.begin(), text.end(), value);  // an attribute's value has no NUL
    return static_cast<int>(text.size());
}

int list_attributes(const char* path, char* list, std::size_t size) {
    const MountNode* node = node_at(path);
    if (node == nullptr) return -ENOENT;
    if (node->kind != MountNode::Kind::entry) return 0;
    if (size == 0) return sizeof attribute_names;
    if (size < sizeof attribute_names) return -ERANGE;
    std::memcpy(list, attribute_names, sizeof attribute_names);
    return sizeof attribute_names;
}

void* start(fuse_conn_info* connection, fuse_config* config) {
    // Bytes go from FILE to the kernel by splice, where the kernel offers it.
    connection->want |= connection->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
    config->use_ino = 1;
    // Nothing under the mount ever changes: the kernel may keep what it was told.
    config->entry_timeout = 86400;
    config->attr_timeout = 86400;
    config->negative_timeout = 86400;
    config->kernel_cache = 1;
    return fuse_get_context()->private_data;
}

// Every change is refused: the file system is read-only.
int refuse_path(const char*) {
    return -EROFS;
}
int refuse_two(const char*, const char*) {
    return -EROFS;
}

}  // namespace

fuse_operations mount_operations() {
    fuse_operations ops{};
    ops.init = start;
    ops.getattr = get_attributes;
    ops.readdir = read_directory;
    ops.open = open_file;
    ops.read = read_file;
    ops.read_buf = read_buffer;
    ops.getxattr = get_attribute;
    ops.listxattr = list_attributes;
    ops.mkdir = [](const char*, mode_t) { return -EROFS; };
    ops.mknod = [](const char*, mode_t, dev_t) { return -EROFS; };
    ops.unlink = refuse_path;
    ops.rmdir = refuse_path;
    ops.symlink = refuse_two;
    ops.link = refuse_two;
    ops.rename = [](const char*, const char*, unsigned) { return -EROFS; };
    ops.chmod = [](const char*, mode_t, fuse_file_info*) { return -EROFS; };
    ops.chown = [](const char*, uid_t, gid_t, fuse_file_info*) { return -EROFS; };
    ops.truncate = [](const char*, off_t, fuse_file_info*) { return -EROFS; };
    ops.write = [](const char*, const char*, std::size_t, off_t, fuse_file_info*) { return -EROFS; };
    ops.create = [](const char*, mode_t, fuse_file_info*) { return -EROFS; };
    ops.setxattr = [](const char*, const char*, const char*, std::size_t, int) { return -EROFS; };
    ops.removexattr = [](const char*, const char*) { return -EROFS; };
    ops.utimens = [](const char*, const timespec*, fuse_file_info*) { return -EROFS; };
    return ops;
}

}  // namespace kpmount
