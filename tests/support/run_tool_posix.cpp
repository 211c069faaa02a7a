#include "support/run_tool.h"

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace kp::test {

namespace {

// Everything the child needs is made before fork: the test may run threads of its own (a
// racer renaming files), and one of them may hold the allocator's lock at the moment of the
// fork, so the child calls nothing that allocates, only what is safe between fork and exec.
struct ChildPlan {
    const char* program = nullptr;
    std::vector<std::string> env;
    std::vector<char*> envp;
    std::vector<char*> argv;
};

// The program where a child run as nobody reaches it: the build may lie where only its
// owner can (a clone in a home of mode 0700, or under mktemp -d). Copied once, into a new
// directory under /tmp that anyone may enter, and removed as the tests end; empty where
// it could not be made, and the build's own is tried.
class ReachableCopy {
public:
    ReachableCopy() {
        char directory[] = "/tmp/kpupdate-program-XXXXXX";
        if (mkdtemp(directory) == nullptr) return;
        directory_ = directory;
        const std::string copy = directory_ + "/" + std::filesystem::path(KPUPDATE_BINARY).filename().string();
        std::error_code failed;
        std::filesystem::copy_file(KPUPDATE_BINARY, copy, failed);
        if (!failed && chmod(directory, 0755) == 0 && chmod(copy.c_str(), 0755) == 0) path_ = copy;
    }
    ~ReachableCopy() {
        std::error_code ignored;
        if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
    }
    ReachableCopy(const ReachableCopy&) = delete;
    ReachableCopy& operator=(const ReachableCopy&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string directory_;
    std::string path_;
};

const char* program_for(const ToolOptions& options) {
    if (!options.unprivileged || geteuid() != 0) return KPUPDATE_BINARY;
    static const ReachableCopy copy;
    return copy.path().empty() ? KPUPDATE_BINARY : copy.path().c_str();
}

ChildPlan plan_child(const std::vector<std::string>& args, const ToolOptions& options) {
    ChildPlan plan;
    plan.program = program_for(options);
    const auto set_by_test = [&](std::string_view name) {
        return std::any_of(options.env.begin(), options.env.end(),
                           [&](const auto& item) { return item.first == name; });
    };
    for (char** item = environ; *item != nullptr; ++item) {
        const std::string_view text = *item;
        const std::string_view name = text.substr(0, text.find('='));
        if (name != "NO_COLOR" && name != "CLICOLOR_FORCE" && !set_by_test(name)) plan.env.emplace_back(text);
    }
    for (const auto& [name, value] : options.env) plan.env.push_back(name + "=" + value);
    for (std::string& item : plan.env) plan.envp.push_back(item.data());
    plan.envp.push_back(nullptr);
    plan.argv.push_back(const_cast<char*>(plan.program));
    for (const std::string& arg : args) plan.argv.push_back(const_cast<char*>(arg.c_str()));
    plan.argv.push_back(nullptr);
    return plan;
}

[[noreturn]] void exec_child(const ChildPlan& plan, const ToolOptions& options, int out, int err, int in) {
    // The write end of the pipe that tells the parent the exec is done stays open until
    // then: it is closed on exec.
    if (dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) _exit(126);
    if (in >= 0 && dup2(in, STDIN_FILENO) < 0) _exit(126);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    if (options.stdout_full) {
        const int full = open("/dev/full", O_WRONLY);
        if (full < 0 || dup2(full, STDOUT_FILENO) < 0) _exit(126);
    }
    if (!options.stdout_append.empty()) {
        const int file = open(options.stdout_append.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0666);
        if (file < 0 || dup2(file, STDOUT_FILENO) < 0) _exit(126);
    }
    if (options.address_space_limit != 0) {
        const auto bytes = static_cast<rlim_t>(options.address_space_limit);
        const rlimit limit{bytes, bytes};
        setrlimit(RLIMIT_AS, &limit);
    }
    if (options.file_size_limit != 0) {
        const rlimit limit{static_cast<rlim_t>(options.file_size_limit), static_cast<rlim_t>(options.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.open_files_limit != 0) {
        const rlimit limit{static_cast<rlim_t>(options.open_files_limit),
                           static_cast<rlim_t>(options.open_files_limit)};
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (options.unprivileged && geteuid() == 0) {
        constexpr gid_t nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(126);
    }
    if (options.umask >= 0) ::umask(static_cast<mode_t>(options.umask));
    if (options.ignored_signal != 0) signal(options.ignored_signal, SIG_IGN);
    const rlimit no_core{0, 0};  // a signal that dumps core leaves none behind
    setrlimit(RLIMIT_CORE, &no_core);
    execve(plan.program, plan.argv.data(), plan.envp.data());
    _exit(127);
}

// Everything `fd` gives until its end; `arrived` is told of the text after each read.
std::string drain(int fd, const std::function<void(const std::string&)>& arrived = {}) {
    std::string out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
            if (arrived) arrived(out);
        } else if (n == 0 || errno != EINTR) {
            return out;  // a pty reports EIO once the child has gone
        }
    }
}

void wait_for(pid_t pid, ToolRun& run) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// A file that takes one of the child's outputs, already unlinked: read back at the end,
// it cannot block the child the way a second pipe left undrained could.
int capture_file() {
    char name[] = "/tmp/kpupdate-stderr-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp");
    unlink(name);
    return fd;
}

std::string read_back(int fd) {
    lseek(fd, 0, SEEK_SET);
    std::string text = drain(fd);
    close(fd);
    return text;
}

// The child's state as the kernel reports it: 'S' when it waits (for input, here), 'Z'
// once it has ended; 0 when it is gone.
char state_of(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t name_end = line.rfind(')');
    return name_end == std::string::npos || name_end + 2 >= line.size() ? 0 : line[name_end + 2];
}

// The bytes a pipe holds unread, asked of either end.
int unread(int fd) {
    int bytes = 0;
    return ioctl(fd, FIONREAD, &bytes) == 0 ? bytes : 0;
}

bool ended(pid_t pid) {
    const char state = state_of(pid);
    return state == 0 || state == 'Z';
}

}  // namespace

ToolRun run_tool(const std::vector<std::string>& args, const ToolOptions& options) {
    // One output is read as it comes, from a terminal or a pipe; the other goes to a file.
    const bool error_on_terminal = options.stderr_terminal_columns != 0;
    const unsigned short columns = error_on_terminal ? options.stderr_terminal_columns : options.terminal_columns;
    const int file = capture_file();
    int reader = -1;
    int writer = -1;
    if (columns != 0) {
        termios raw{};
        cfmakeraw(&raw);  // no newline translation: the bytes arrive as written
        winsize size{};
        size.ws_row = 24;
        size.ws_col = columns;
        if (openpty(&reader, &writer, nullptr, &raw, &size) != 0) throw std::runtime_error("openpty");
    } else {
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe");
        reader = pipe_fds[0];
        writer = pipe_fds[1];
    }
    // Standard input: a pipe fed from a thread, a terminal, or the test's own.
    int in_reader = -1;
    int in_writer = -1;
    if (options.stdin_bytes) {
        int in_fds[2];
        if (pipe2(in_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        in_reader = in_fds[0];
        in_writer = in_fds[1];
        signal(SIGPIPE, SIG_IGN);  // a child that stops reading leaves the writer an error, not a signal
    } else if (options.stdin_terminal) {
        if (openpty(&in_writer, &in_reader, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    }
    int started[2];  // reads its end once the child's exec is done: the write end closes on exec
    if (pipe2(started, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const ChildPlan plan = plan_child(args, options);
    const pid_t pid = fork();
    if (pid == 0) {
        close(reader);
        close(started[0]);
        if (error_on_terminal) exec_child(plan, options, file, writer, in_reader);
        exec_child(plan, options, writer, file, in_reader);
    }
    close(writer);
    close(started[1]);
    if (in_reader >= 0) close(in_reader);
    std::thread feeder;
    if (options.stdin_bytes) {
        feeder = std::thread([in_writer, pid, &options] {
            const std::string& bytes = *options.stdin_bytes;
            for (std::size_t done = 0; done < bytes.size();) {
                if (done == options.stdin_pause_at && done != 0) {
                    wait_until([&] { return ended(pid) || (unread(in_writer) == 0 && state_of(pid) == 'S'); });
                    if (options.at_stdin_pause) options.at_stdin_pause();
                }
                const std::size_t end = done < options.stdin_pause_at ? options.stdin_pause_at : bytes.size();
                const ssize_t written = write(in_writer, bytes.data() + done, end - done);
                if (written < 0 && errno == EINTR) continue;
                if (written <= 0) break;
                done += static_cast<std::size_t>(written);
            }
            close(in_writer);
        });
    }
    std::thread interrupter;
    std::atomic<bool> drained = false;  // the child's output has ended: it is gone, or about to be
    const bool on_output = !options.when_output_shows.empty();
    if (options.interrupt_signal != 0 && !on_output) {
        interrupter = std::thread([pid, &options, &drained, exec_done = started[0]] {
            char ignored = 0;
            while (read(exec_done, &ignored, 1) < 0 && errno == EINTR) {
            }
            // From here the interval picks a moment of the run; nothing waits on it.
            const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.interrupt_after_ms);
            while (!drained && std::chrono::steady_clock::now() < due) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (!drained) kill(pid, options.interrupt_signal);  // the child is not reaped before this thread ends
        });
    }
    ToolRun run;
    if (options.before_stdout) {
        wait_until([&] { return unread(reader) > 0 || ended(pid); });
        options.before_stdout();
    }
    bool shown = false;
    const auto arrived = [&](const std::string& text) {
        if (!on_output || shown || text.find(options.when_output_shows) == std::string::npos) return;
        shown = true;
        if (options.at_output) options.at_output();
        if (options.interrupt_signal != 0) kill(pid, options.interrupt_signal);
    };
    (error_on_terminal ? run.err : run.out) = drain(reader, arrived);
    drained = true;
    close(reader);
    if (interrupter.joinable()) interrupter.join();
    close(started[0]);
    wait_for(pid, run);
    if (feeder.joinable()) feeder.join();
    if (options.stdin_terminal) close(in_writer);
    (error_on_terminal ? run.out : run.err) = read_back(file);
    return run;
}

int create_descriptor(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

void close_descriptor(int descriptor) {
    ::close(descriptor);
}

}  // namespace kp::test
