// kpupdate-mount: an update file as a read-only file system. FILE is opened once and
// held, and checked and loaded before anything is mounted; what it says on the way goes
// to standard error, escaped as the command line's lines are.
#include "mount/file_system.h"

#include <fuse3/fuse_log.h>
#include <fuse3/fuse_lowlevel.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "fs/stream.h"
#include "mount/mount_tree.h"
#include "report/reasons.h"
#include "report/renderer.h"
#include "version.h"

namespace {

using namespace kp;

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
    const fuse_operations ops = mount_operations();
    return serve(args, ops, state);
}
