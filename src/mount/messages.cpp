#include "mount/messages.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "kpupdate.h"

namespace kpmount {

namespace {

bool terminal = false;

// `text` as kp_shown_text shows it `how`; empty where memory ran out.
std::string shown(std::string_view text, int how) {
    char* out = nullptr;
    std::size_t length = 0;
    if (kp_shown_text(text.data(), text.size(), how, &out, &length) != KP_OK) return {};
    std::string made(out, length);
    kp_free(out);
    return made;
}

void write_all(const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t written = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        done += static_cast<std::size_t>(written);
    }
}

}  // namespace

void messages_begin() {
    terminal = ::isatty(STDERR_FILENO) != 0;
}

void say_raw(std::string_view line) {
    std::string text = shown(line, terminal ? KP_SHOW_TERMINAL : 0);
    if (text.empty() && !line.empty()) text = "kpupdate-mount: out of memory";  // never a line unescaped
    write_all(text + "\n");
}

void say(std::string_view line) {
    say_raw("kpupdate-mount: " + std::string(line));
}

std::string quoted(std::string_view text) {
    return shown(text, KP_SHOW_QUOTED);
}

}  // namespace kpmount
