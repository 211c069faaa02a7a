// Runs the built kpupdate as a user would, and scratch files for it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kp::test {

struct ToolRun {
    std::string out;  // every byte written to standard output
    std::string err;  // every byte written to standard error
    int status = -1;  // exit status 0..255, or -1 when killed by a signal
    int signal = 0;   // the signal that ended it, if one did
};

struct ToolOptions {
    std::vector<std::pair<std::string, std::string>> env;  // each name once, after NO_COLOR, CLICOLOR_FORCE go
    std::string cwd;                                       // empty: the test's own
    unsigned short terminal_columns = 0;                   // non-zero: stdout is a terminal this wide
    unsigned short stderr_terminal_columns = 0;            // non-zero: stderr is, and stdout a file
    bool stdout_full = false;                              // stdout is /dev/full: every write fails
    long address_space_limit = 0;                          // non-zero: RLIMIT_AS in bytes
    long file_size_limit = 0;   // non-zero: RLIMIT_FSIZE in bytes (the tool itself has writes fail past it)
    long open_files_limit = 0;  // non-zero: RLIMIT_NOFILE
    // POSIX: a child of root runs as nobody, whom permissions bind, from a copy of the
    // program under /tmp where the build lies out of nobody's reach.
    bool unprivileged = false;
    int umask = -1;             // POSIX: the child's umask; -1: the test's own
    std::string stdout_append;  // non-empty: stdout is this file, opened for appending (as `>>` does)
    // Non-zero: sent to the child once it runs the tool (its exec is done, the signals it
    // starts with set), interrupt_after_ms later: a moment in its run, never a guess that
    // something has happened by then.
    int interrupt_signal = 0;
    int interrupt_after_ms = 0;
    // Non-empty: as soon as the output read as it comes holds this, at_output runs and the
    // signal, if there is one, is sent: something the child did, not a time, is the cue.
    std::string when_output_shows;
    std::function<void()> at_output;
    int ignored_signal = 0;                  // non-zero: the child starts with it ignored, as under nohup
    std::optional<std::string> stdin_bytes;  // set: stdin is a pipe that these bytes are written into
    // Non-zero: the writer stops after so many bytes until the child has read them all and
    // waits for more, runs at_stdin_pause then, and writes the rest.
    std::size_t stdin_pause_at = 0;
    std::function<void()> at_stdin_pause;
    // Run once the child has written to standard output, before any of it is read: the
    // child is past everything it did before printing, and a full pipe holds it there.
    std::function<void()> before_stdout;
    bool stdin_terminal = false;  // POSIX: stdin is a terminal
};

ToolRun run_tool(const std::vector<std::string>& args, const ToolOptions& options = {});

#ifdef _WIN32
// Terminals and resource limits for the child are POSIX tools; tests that need them skip.
inline constexpr bool posix_child_controls = false;
// Runs the tool with `arguments` as the raw UTF-16 tail of its command line.
ToolRun run_tool_command_line(const std::wstring& arguments, const ToolOptions& options = {});
#else
inline constexpr bool posix_child_controls = true;
#endif

// A fresh directory, removed with its contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Every file and directory under `root`, relative and sorted.
std::vector<std::string> tree(const std::string& root);

// Every file under `root` with its size and a hash of its bytes, in one text to compare.
std::string snapshot(const std::string& root);

// `size` bytes that look like nothing, the same for the same `seed`.
std::string random_bytes(std::size_t size, unsigned seed);

// `text` with every `from` in it made `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to);

void write_file(const std::string& path, const std::string& bytes);
// A descriptor of a new file at `path`, open for writing; close_descriptor lets it go.
int create_descriptor(const std::string& path);
void close_descriptor(int descriptor);
std::string read_file(const std::string& path);

// What the program printed against its recording in tests/cli/expected/NAME, which
// KPUPDATE_REGENERATE=1 rewrites from it (tools/regenerate-expected runs that, for review
// with git diff).
void expect_recorded(const std::string& printed, const std::string& name);

// Whether this build runs under AddressSanitizer, whose programs cannot be given an
// address-space limit.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool address_sanitizer = true;
#elif defined(__has_feature)
inline constexpr bool address_sanitizer = __has_feature(address_sanitizer);
#else
inline constexpr bool address_sanitizer = false;
#endif

// Waits until `happened` says so, asking every millisecond; false when a generous
// deadline passed first, which only bounds a hang: a caller never counts on time.
bool wait_until(const std::function<bool()>& happened);

// The banner every run starts with.
inline const std::string banner = "\nQuorvane Kelvo/Pardo update-file utility V0.4.4\n\n";

}  // namespace kp::test
