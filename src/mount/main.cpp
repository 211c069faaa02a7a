// kpupdate-mount: an update file as a read-only file system. FILE is opened once and
// held; every read is a splice or a pread at the entry's offset, from any of FUSE's
// threads, and gives all the bytes it was asked for that the entry has, or fails.
#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>
#include <fuse3/fuse_log.h>
#include <fuse3/fuse_lowlevel.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "archive/update_archive.h"
#include "console/console.h"
#include "console/console_platform.h"
#include "fs/handle.h"
#include "fs/stream.h"
#include "mount/entry_bytes.h"
#include "mount/mount_tree.h"
#include "report/reasons.h"
#include "report/renderer.h"
#include "version.h"

namespace {

using namespace kp;

struct Mount {
    std::string file;
    SourceFile source;
    UpdateArchive archive;
    MountTree tree;
    bool padded = false;
    struct stat file_stat {};
};

// Whether standard error is a terminal, decided once for every line said there.
ConsoleOutput messages;

// One line on standard error, in one write from any thread. Names in it come from FILE,
// and FILE's own from whoever named it: where standard error is a terminal, they reach
// it escaped as the command line's lines do, so that no name can drive the terminal.
void say_raw(std::string_view line) {
    const std::string text = escape_for_stderr(messages, line) + "\n";
    write_all(platform_stderr_file(), text.data(), text.size());
}

void say(const std::string& line) {
    say_raw("kpupdate-mount: " + line);
}

// libfuse's own lines, which name the mount point and, with -d, every path asked for.
void say_for_fuse(fuse_log_level, const char* format, va_list args) {
    va_list measured;
    va_copy(measured, args);
    const int length = std::vsnprintf(nullptr, 0, format, measured);
    va_end(measured);
    if (length <= 0) return;
    std::string text(static_cast<std::size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    if (text.ends_with('\n')) text.pop_back();
    say_raw(text);
}

Mount& mount() {
    return *static_cast<Mount*>(fuse_get_context()->private_data);
}

const MountNode* node_at(const char* path) {
    const long at = find_node(mount().tree, path);
    return at < 0 ? nullptr : &mount().tree.nodes[static_cast<std::size_t>(at)];
}

// Where a file's bytes lie in FILE, or in the document.
ByteRange bytes_of(const MountNode& node) {
    if (node.kind == MountNode::Kind::manifest) return {0, mount().tree.manifest.size()};
    return written_bytes(mount().archive.entries[node.position], mount().padded);
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
    const ByteRange range = bytes_of(*node);
    if (node->kind == MountNode::Kind::entry && range.size > 0 &&
        (::fstat(descriptor(mount().source.handle), &now) != 0 || !range.lies_within(static_cast<u64>(now.st_size)))) {
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
    const ByteRange range = bytes_of(node);
    const std::size_t wanted = bytes_wanted(range, static_cast<u64>(offset), size);
    if (node.kind == MountNode::Kind::manifest) {
        std::memcpy(buffer, mount().tree.manifest.data() + offset, wanted);
        return static_cast<int>(wanted);
    }
    const int failed = read_whole(mount().source, range.offset + static_cast<u64>(offset), buffer, wanted);
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
        const ByteRange range = bytes_of(node);
        const std::size_t wanted = bytes_wanted(range, static_cast<u64>(offset), size);
        const int pipe = wanted == 0 ? -1 : move_whole(mount().source, range.offset + static_cast<u64>(offset), wanted);
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
    const EntryRecord& entry = mount().archive.entries[node.position];
    char text[96];
    if (name == "user.kpupdate.index") {
        std::snprintf(text, sizeof text, "%u", entry.record.index);
    } else if (name == "user.kpupdate.position") {
        std::snprintf(text, sizeof text, "%u", node.position);
    } else if (name == "user.kpupdate.signatures") {
        const auto& s = entry.record.signature;
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

fuse_operations operations() {
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

struct Arguments {
    const char* file = nullptr;
    int padded = 0;
    int show_help = 0;
    int show_version = 0;
};

const fuse_opt options[] = {
    {"padded", offsetof(Arguments, padded), 1},          {"-h", offsetof(Arguments, show_help), 1},
    {"--help", offsetof(Arguments, show_help), 1},       {"-V", offsetof(Arguments, show_version), 1},
    {"--version", offsetof(Arguments, show_version), 1}, FUSE_OPT_END,
};

int take_argument(void* data, const char* argument, int key, fuse_args*) {
    auto& arguments = *static_cast<Arguments*>(data);
    if (key == FUSE_OPT_KEY_NONOPT && arguments.file == nullptr) {
        arguments.file = argument;
        return 0;  // FILE is ours; the mount point goes on to FUSE
    }
    return 1;
}

constexpr const char* usage_text =
    "usage: kpupdate-mount [-f] [-o OPTION[,OPTION]...] FILE MOUNTPOINT\n"
    "Shows the update file FILE as a read-only file system at MOUNTPOINT: the files\n"
    "extraction would write, and under .kpupdate/ (.kpupdate-N/ where FILE names\n"
    ".kpupdate itself, which it says) the --json document (manifest.json) and every\n"
    "entry by position (by-position/N). Unmount with fusermount3 -u MOUNTPOINT.\n"
    "  -f            stay in the foreground; SIGINT or SIGTERM unmounts\n"
    "  -o padded     show each file's whole 512-byte chunk\n"
    "  -o OPTION     any FUSE mount option, allow_other among them\n";

// Mounts and serves until unmounted or, in the foreground, SIGINT or SIGTERM, which end it
// as cleanly as fusermount3 -u does.
int serve(fuse_args& args, const fuse_operations& ops, Mount& state) {
    fuse_cmdline_opts settings{};
    if (fuse_parse_cmdline(&args, &settings) != 0 || settings.mountpoint == nullptr) {
        std::fputs(usage_text, stderr);
        return 255;
    }
    int status = 255;
    fuse* served = fuse_new(&args, &ops, sizeof ops, &state);
    if (served != nullptr && fuse_mount(served, settings.mountpoint) == 0) {
        fuse_session* session = fuse_get_session(served);
        if (fuse_daemonize(settings.foreground) == 0 && fuse_set_signal_handlers(session) == 0) {
            const int ended = settings.singlethread != 0 ? fuse_loop(served) : fuse_loop_mt(served, settings.clone_fd);
            status = ended == 0 || ended == SIGINT || ended == SIGTERM || ended == SIGHUP ? 0 : 1;
            fuse_remove_signal_handlers(session);
        }
        fuse_unmount(served);
    }
    if (served != nullptr) fuse_destroy(served);
    std::free(settings.mountpoint);
    close_source(state.source);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    console_init(messages, platform_stderr_handle(), ColourWhen::never);
    fuse_set_log_func(say_for_fuse);
    fuse_args args = FUSE_ARGS_INIT(argc, argv);
    struct Freed {
        fuse_args& args;
        ~Freed() { fuse_opt_free_args(&args); }
    } freed{args};
    Arguments arguments;
    if (fuse_opt_parse(&args, &arguments, options, take_argument) != 0) return 255;
    if (arguments.show_version != 0) {
        std::printf("kpupdate-mount %s\n", kp::kpupdate_version);
        return 0;
    }
    if (arguments.show_help != 0) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (arguments.file == nullptr || args.argc < 2) {
        std::fputs(usage_text, stderr);
        return 255;
    }
    Mount state;
    state.file = arguments.file;
    state.padded = arguments.padded != 0;
    std::string system_text;
    const std::string named = shell_quoted(state.file);
    // Opened without waiting, as a pipe with no writer would have it wait, and looked at
    // before anything is read: only a regular file can be read anywhere, at any time.
    const int opened = ::open(state.file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (opened < 0) {
        const int why = errno;
        say(named + ": " + std::strerror(why));
        return 255;
    }
    const bool regular = ::fstat(opened, &state.file_stat) == 0 && S_ISREG(state.file_stat.st_mode);
    const InputKind kind = regular ? open_descriptor_input(state.source, opened, system_text) : InputKind::unopened;
    ::close(opened);
    if (kind != InputKind::file) {
        say(named + ": not a regular file: a mount needs to read it anywhere, at any time");
        return 255;
    }
    LoadProblem problem;
    if (load_archive(state.archive, state.source, problem) < 0) {
        say(named + ": " + load_reason(problem, state.file));
        return 254;
    }
    state.tree = build_mount_tree(state.archive, listing_document(state.archive, state.source, state.file));
    for (const std::string& line : state.tree.refused) say("not shown: " + line);
    for (u32 position = 0; position < state.archive.entries.size(); ++position) {
        const EntryRecord& entry = state.archive.entries[position];
        const ByteRange range = written_bytes(entry, state.padded);
        if (range.lies_within(state.source.length)) continue;
        EntryProblem outside;
        outside.failure = EntryFailure::outside_file;
        outside.past_end = range.past(state.source.length);
        say("damaged: " + shell_quoted(record_text(entry.record.name)) + " (position " + std::to_string(position) +
            "): " + entry_reason(outside, state.padded));
    }
    if (state.tree.control != hidden_directory) {
        say("the update file names " + std::string(hidden_directory) +
            " itself: the manifest and by-position/ are under " + state.tree.control);
    }
    std::string escaped;  // FUSE's options are split at commas
    for (const char c : state.file) {
        if (c == ',' || c == '\\') escaped += '\\';
        escaped += c;
    }
    std::string fsname = "-ofsname=";
    fsname += escaped;
    fsname += ",subtype=kpupdate,ro,default_permissions";
    fuse_opt_add_arg(&args, fsname.c_str());
    const fuse_operations ops = operations();
    return serve(args, ops, state);
}
