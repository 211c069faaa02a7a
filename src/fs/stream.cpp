#include "fs/stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace kp {

namespace {

// What one read may bring: more than a pipe holds, so each read takes all there is.
constexpr std::size_t stream_buffer_size = std::size_t{256} << 10;

// A range with at least this much left goes from the stream to its file inside the
// kernel, in moves of at most the largest, so that progress is told of often.
constexpr u64 smallest_move = u64{64} << 10;
constexpr u64 largest_move = u64{16} << 20;

u64 buffer_start(const SourceFile& source) {
    return source.position - source.buffered;
}

void note_end(SourceFile& source) {
    source.ended = true;
    source.length = source.position;
}

// One read through the caller's function, which is trusted with nothing: a count past
// `room` would have written past the buffer and is no data, a negative one other than -1
// is no answer, and -1 with EINTR asks to be called again. Any failure leaves its words
// and errno in the source, and -1.
std::int64_t read_through_reader(SourceFile& source, unsigned char* into, std::size_t room) {
    for (;;) {
        errno = 0;
        const std::int64_t got = source.reader.read(source.reader.context, into, room);
        if (got >= 0 && static_cast<u64>(got) <= room) return got;
        const int error = errno;
        if (got == -1 && error == EINTR) continue;
        if (got == -1) {
            source.read_error = error != 0 ? error : EIO;
            source.read_failure = error != 0 ? std::strerror(error) : "the read function failed without saying why";
        } else {
            source.read_error = EIO;
            source.read_failure = "the read function returned " + std::to_string(got) + " for a read of " +
                                  std::to_string(room) + " bytes";
        }
        return -1;
    }
}

// Reads once more into the buffer, behind what it holds from `keep_from` on (at most
// the bytes it holds). False at the end of the stream or when the read failed.
bool read_more(SourceFile& source, u64 keep_from) {
    if (source.ended) return false;
    if (source.position >= source.limit) {
        note_end(source);
        return false;
    }
    if (source.buffer.empty()) source.buffer.resize(stream_buffer_size);
    const auto keep = static_cast<std::size_t>(source.position - std::max(keep_from, buffer_start(source)));
    std::memmove(source.buffer.data(), source.buffer.data() + source.buffered - keep, keep);
    source.buffered = keep;
    unsigned char* const into = source.buffer.data() + keep;
    const auto room =
        static_cast<std::size_t>(std::min<u64>(source.buffer.size() - keep, source.limit - source.position));
    const std::int64_t got = source.reader.read != nullptr ? read_through_reader(source, into, room)
                                                           : stream_read(source.handle, into, room);
    if (got > 0) {
        if (source.tap.seen != nullptr) {
            source.tap.seen(source.tap.context, source.position, source.buffer.data() + keep,
                            static_cast<std::size_t>(got));
        }
        source.buffered += static_cast<std::size_t>(got);
        source.position += static_cast<u64>(got);
        return true;
    }
    // A read that failed ends the stream as surely as its end does: what came is all there is.
    if (got < 0 && source.read_failure.empty()) {
        source.read_error = errno;
        source.read_failure = last_error_text();
    }
    note_end(source);
    return false;
}

bool read_more(SourceFile& source) {
    return read_more(source, source.position - std::min<u64>(source.keep_back, source.position));
}

// Reads on until the buffer holds the byte at `offset`, which the stream has not passed.
// False when the stream ends before it or a read failed.
bool reach(SourceFile& source, u64 offset) {
    while (offset >= source.position) {
        if (!read_more(source)) return false;
    }
    return true;
}

}  // namespace

std::size_t read_stream_at_cursor(SourceFile& source, unsigned char* buffer, std::size_t size) {
    const std::size_t got = read_stream_at(source, source.cursor, buffer, size);
    source.cursor += got;
    return got;
}

bool read_whole_file(std::string_view path, std::string& bytes, std::string& system_text, u64 most, u64* too_large) {
    SourceFile source;
    const InputKind kind = open_input(source, path, {}, false, system_text);
    if (kind == InputKind::unopened) return false;
    if (kind == InputKind::terminal) {
        system_text = "it is a terminal";
        return false;
    }
    u64 over = !source.stream && source.length > most ? source.length : 0;
    unsigned char piece[64 * 1024];
    for (std::size_t got = 0; over == 0 && (got = read_at_cursor(source, piece, sizeof piece)) > 0;) {
        bytes.append(reinterpret_cast<const char*>(piece), got);
        if (bytes.size() > most) over = unknown_length;
    }
    system_text = over != 0 ? std::string() : source.read_failure;
    close_source(source);
    if (over != 0 && too_large != nullptr) *too_large = over;
    return over == 0 && system_text.empty();
}

std::size_t read_at_cursor(SourceFile& source, unsigned char* buffer, std::size_t size) {
    if (source.stream) return read_stream_at_cursor(source, buffer, size);
    const std::size_t got = read_up_to(source, source.cursor, buffer, size);
    if (got < size && source.read_failure.empty()) {
        source.read_error = errno;
        source.read_failure = last_error_text();
    }
    source.cursor += got;
    return got;
}

bool stream_passed(const SourceFile& source, u64 offset) {
    return source.stream && offset < buffer_start(source);
}

bool stream_passed(const SourceFile& source, u64 offset, u64 size) {
    return size != 0 && stream_passed(source, offset);
}

std::size_t read_stream_at(SourceFile& source, u64 offset, unsigned char* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size && !stream_passed(source, offset + done) && reach(source, offset + done)) {
        const u64 at = offset + done - buffer_start(source);
        const auto length = static_cast<std::size_t>(std::min<u64>(size - done, source.buffered - at));
        std::memcpy(buffer + done, source.buffer.data() + at, length);
        done += length;
    }
    return done;
}

bool stream_read_ahead(SourceFile& source, u64 offset, u64 size) {
    if (!source.stream || size > stream_buffer_size - source.keep_back) return true;
    while (source.position < offset + size) {
        const u64 keep_from = offset < source.position ? offset : source.position;
        if (!read_more(source, keep_from)) return false;
    }
    return true;
}

bool skip_stream(SourceFile& source, u64 end) {
    while (source.position < end && read_more(source)) {
    }
    return source.read_failure.empty();
}

bool drop_stream_start(SourceFile& source, u64 offset) {
    const bool read = skip_stream(source, offset);
    // What the last read brought past `offset` stays, as the stream's first bytes.
    const auto kept =
        static_cast<std::size_t>(std::min<u64>(source.position - std::min(source.position, offset), source.buffered));
    if (kept != 0) std::memmove(source.buffer.data(), source.buffer.data() + source.buffered - kept, kept);
    source.buffered = kept;
    source.position = kept;
    if (source.ended) source.length = kept;
    return read;
}

void drop_past_limit(SourceFile& source) {
    if (source.position <= source.limit) return;
    source.buffered -= static_cast<std::size_t>(std::min<u64>(source.position - source.limit, source.buffered));
    source.position = source.limit;
}

bool copy_from_stream(SourceFile& source, u64 offset, u64 size, FileHandle out, const CopyProgress& progress) {
    while (size > 0) {
        if (stream_passed(source, offset)) return false;
        // Straight from the stream where nothing of the range is buffered and much is left.
        const u64 movable = std::min({size, largest_move, source.limit - source.position});
        if (offset == source.position && movable >= smallest_move && !source.kernel_copy_refused && !source.ended &&
            source.tap.seen == nullptr && source.reader.read == nullptr) {
            const std::int64_t moved = stream_move(source.handle, out, static_cast<std::size_t>(movable));
            if (moved > 0) {
                source.position += static_cast<u64>(moved);
                source.buffered = 0;
                offset += static_cast<u64>(moved);
                size -= static_cast<u64>(moved);
                tell_copied(progress, static_cast<u64>(moved));
                continue;
            }
            if (moved == 0) {
                note_end(source);
                return false;
            }
            if (moved != stream_move_not_offered) return false;
            source.kernel_copy_refused = true;
        }
        if (!reach(source, offset)) return false;
        const u64 at = offset - buffer_start(source);
        const u64 length = std::min(size, source.buffered - at);
        if (!write_all(out, source.buffer.data() + at, static_cast<std::size_t>(length))) return false;
        offset += length;
        size -= length;
        tell_copied(progress, length);
    }
    return true;
}

}  // namespace kp
