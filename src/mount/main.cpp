// kpupdate-mount: an update file as a read-only file system, a client of libkpupdate like
// any other. FILE is opened once and held, and checked and loaded through the library
// before anything is mounted; what it says on the way goes to standard error, escaped as
// the command line's lines are.
#include "mount/file_system.h"

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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kpupdate.h"
#include "mount/messages.h"
#include "mount/mount_tree.h"

namespace {

using namespace kpmount;

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
    ::close(state.file);
    return status;
}

// FILE's entries as the library tells of them, in `entries`, with a line for each whose
// bytes lie past FILE's end; false (with why) where the library would not tell.
bool told_entries(kp_archive* archive, bool padded, std::vector<MountEntry>& entries,
                  std::vector<std::string>& damaged) {
    for (std::uint32_t position = 0; position < kp_entry_count(archive); ++position) {
        kp_entry entry{};
        entry.struct_size = sizeof entry;
        if (kp_get_entry(archive, position, &entry) != KP_OK) return false;
        MountEntry& shown = entries.emplace_back();
        shown.name.assign(entry.name, entry.name_length);
        shown.index = entry.index;
        shown.offset = entry.offset;
        shown.size = padded ? entry.chunk_size : entry.size;
        std::copy(std::begin(entry.signatures), std::end(entry.signatures), shown.signatures);
        const char* path = nullptr;
        std::size_t length = 0;
        if (kp_entry_path(archive, position, &path, &length) == KP_OK) {
            shown.path.assign(path, length);
        } else {
            shown.refusal = kp_reason(archive);
        }
        if (kp_check_entry(archive, position, padded ? 1 : 0) != KP_OK) {
            // The reason names the entry, then says why: the position goes between.
            const std::string name = quoted(shown.name);
            std::string_view why = kp_reason(archive);
            if (why.starts_with(name + ": ")) why.remove_prefix(name.size() + 2);
            damaged.push_back("damaged: " + name + " (position " + std::to_string(position) + "): " + std::string(why));
        }
    }
    return true;
}

// Loads FILE, open in `state`, through the library, as `file` names it, and builds the tree
// it shows, saying what it cannot show; false (with why said) where it is no update file.
bool load(Mount& state, const char* file, bool padded) {
    const std::unique_ptr<kp_archive, decltype(&kp_close)> handle(kp_new(), kp_close);
    kp_archive* archive = handle.get();
    if (archive == nullptr || kp_open_named_fd(archive, state.file, file) != KP_OK) {
        say(archive == nullptr ? "out of memory" : kp_reason(archive));
        return false;
    }
    std::vector<MountEntry> entries;
    std::vector<std::string> damaged;
    char* document = nullptr;
    std::size_t length = 0;
    if (!told_entries(archive, padded, entries, damaged) || kp_json(archive, &document, &length) != KP_OK) {
        kp_free(document);
        say(kp_reason(archive));
        return false;
    }
    std::string manifest(document, length);
    kp_free(document);
    state.tree = build_mount_tree(std::move(entries), manifest + "\n");  // as --json prints it
    for (const std::string& line : state.tree.refused) say("not shown: " + line);
    for (const std::string& line : damaged) say(line);
    if (state.tree.control != hidden_directory) {
        say("the update file names " + std::string(hidden_directory) +
            " itself: the manifest and by-position/ are under " + state.tree.control);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    messages_begin();
    fuse_set_log_func(say_for_fuse);
    fuse_args args = FUSE_ARGS_INIT(argc, argv);
    struct Freed {
        fuse_args& args;
        ~Freed() { fuse_opt_free_args(&args); }
    } freed{args};
    Arguments arguments;
    if (fuse_opt_parse(&args, &arguments, options, take_argument) != 0) return 255;
    if (arguments.show_version != 0) {
        std::printf("kpupdate-mount %s\n", kp_version());
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
    const std::string named = quoted(arguments.file);
    // Opened without waiting, as a pipe with no writer would have it wait, and looked at
    // before anything is read: only a regular file can be read anywhere, at any time.
    Mount state;
    state.file = ::open(arguments.file, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (state.file < 0) {
        const int why = errno;
        say(named + ": " + std::strerror(why));
        return 255;
    }
    if (::fstat(state.file, &state.file_stat) != 0 || !S_ISREG(state.file_stat.st_mode)) {
        say(named + ": not a regular file: a mount needs to read it anywhere, at any time");
        ::close(state.file);
        return 255;
    }
    if (!load(state, arguments.file, arguments.padded != 0)) {
        ::close(state.file);
        return 254;
    }
    std::string escaped;  // FUSE's options are split at commas
    for (const char* c = arguments.file; *c != '\0'; ++c) {
        if (*c == ',' || *c == '\\') escaped += '\\';
        escaped += *c;
    }
    std::string fsname = "-ofsname=";
    fsname += escaped;
    fsname += ",subtype=kpupdate,ro,default_permissions";
    fuse_opt_add_arg(&args, fsname.c_str());
    const fuse_operations ops = mount_operations();
    return serve(args, ops, state);
}
