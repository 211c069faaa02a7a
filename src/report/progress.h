// A one-line progress display on standard error while files are extracted.
#pragma once

#include <chrono>
#include <cstddef>

#include "console/console.h"

namespace kp {

// When the progress line is drawn: by default on a terminal for large work.
enum class ProgressWhen : unsigned char { automatic, always, never };

// Work larger than either of these is worth a progress line on a terminal.
inline constexpr u64 progress_bytes_worth_showing = u64{64} << 20;
inline constexpr u64 progress_files_worth_showing = 1000;

// A total of bytes not known before the work: the line counts what is done, and shows
// once that is large.
inline constexpr u64 progress_unknown_total = ~u64{0};

struct Progress {
    bool shown = false;     // whether this run draws at all
    bool may_show = false;  // whether it draws once the bytes done are large: the total is not known
    ConsoleSink sink;       // standard error
    std::size_t width = 0;  // the terminal's columns; 0 when unknown
    u64 total_bytes = 0;
    u64 total_files = 0;
    u64 done_bytes = 0;
    u64 done_files = 0;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point last_drawn;
    std::size_t drawn = 0;  // the length of the line on screen; 0 when there is none
};

// Decides whether to draw: always, never, or with `automatic` when standard error is a
// terminal and the work is large (with `total_bytes` progress_unknown_total: when the
// files are many, or else as soon as the bytes done are many). Draws the first line when
// it does.
void progress_begin(Progress& progress, ProgressWhen when, u64 total_bytes, u64 total_files);

// Counts bytes and files done; redraws at most ten times a second.
void progress_add_bytes(Progress& progress, u64 bytes);
void progress_add_file(Progress& progress);

// Takes the line off the screen, before a message or at the end; the next count draws it
// again.
void progress_clear(Progress& progress);

}  // namespace kp
