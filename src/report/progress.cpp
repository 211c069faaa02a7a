#include "report/progress.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "console/console_platform.h"

namespace kp {

namespace {

constexpr auto redraw_interval = std::chrono::milliseconds(100);

double mebibytes(u64 bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

void write(Progress& progress, const std::string& text) {
    if (progress.sink.write != nullptr) progress.sink.write(progress.sink.context, text.data(), text.size());
}

void draw(Progress& progress) {
    const auto now = std::chrono::steady_clock::now();
    progress.last_drawn = now;
    const double seconds = std::chrono::duration<double>(now - progress.start).count();
    char line[160];
    char total[40] = "";
    if (progress.total_bytes != progress_unknown_total)
        std::snprintf(total, sizeof total, " of %.1f", mebibytes(progress.total_bytes));
    const int length =
        std::snprintf(line, sizeof line, "kpupdate: %.1f%s MiB, %llu of %llu files, %.1f MiB/s",
                      mebibytes(progress.done_bytes), total, static_cast<unsigned long long>(progress.done_files),
                      static_cast<unsigned long long>(progress.total_files),
                      seconds > 0 ? mebibytes(progress.done_bytes) / seconds : 0.0);
    std::size_t shown = length > 0 ? static_cast<std::size_t>(length) : 0;
    if (progress.width > 1 && shown > progress.width - 1) shown = progress.width - 1;  // a wrapped line stays
    std::string text(1, '\r');
    text.append(line, std::min(shown, sizeof line - 1));
    // Blanks over what is left of a longer line before it.
    if (progress.drawn > text.size() - 1) text.append(progress.drawn - (text.size() - 1), ' ');
    progress.drawn = text.size() - 1;
    // Noted before it is written: a signal between the two erases a line not yet there,
    // which costs nothing, where the other order would leave one on the screen.
    console_note_drawn_line(progress.drawn);
    write(progress, text);
}

void redraw_when_due(Progress& progress) {
    if (progress.shown && std::chrono::steady_clock::now() - progress.last_drawn >= redraw_interval) draw(progress);
}

// Starts drawing on standard error.
void show(Progress& progress) {
    void* const handle = platform_stderr_handle();
    progress.shown = true;
    progress.may_show = false;
    progress.sink = platform_stdout_sink(handle);
    progress.width = platform_console_traits(handle).width;
    draw(progress);
}

}  // namespace

void progress_begin(Progress& progress, ProgressWhen when, u64 total_bytes, u64 total_files) {
    const bool known = total_bytes != progress_unknown_total;
    const bool large =
        (known && total_bytes > progress_bytes_worth_showing) || total_files > progress_files_worth_showing;
    const bool terminal = when == ProgressWhen::automatic && platform_console_traits(platform_stderr_handle()).terminal;
    progress.total_bytes = total_bytes;
    progress.total_files = total_files;
    progress.start = std::chrono::steady_clock::now();
    progress.may_show = terminal && !large && !known;
    if (when == ProgressWhen::always || (terminal && large)) show(progress);
}

void progress_add_bytes(Progress& progress, u64 bytes) {
    progress.done_bytes += bytes;
    if (progress.may_show && progress.done_bytes > progress_bytes_worth_showing) show(progress);
    redraw_when_due(progress);
}

void progress_add_file(Progress& progress) {
    ++progress.done_files;
    redraw_when_due(progress);
}

void progress_clear(Progress& progress) {
    if (progress.drawn == 0) return;
    std::string blank(progress.drawn + 2, ' ');
    blank.front() = '\r';
    blank.back() = '\r';
    write(progress, blank);
    progress.drawn = 0;
    console_note_drawn_line(0);
}

}  // namespace kp
