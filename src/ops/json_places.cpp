#include "ops/json_places.h"

#include <algorithm>

namespace kp {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

void append_utf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The string whose opening quote is at `at`, decoded; `at` ends past its closing quote.
std::string read_string(std::string_view text, std::size_t& at) {
    std::string out;
    const auto four_hex = [&text](std::size_t from) {
        unsigned value = 0;
        for (std::size_t i = from; i < from + 4 && i < text.size(); ++i) value = value << 4 | hex_value(text[i]);
        return value;
    };
    for (++at; at < text.size() && text[at] != '"'; ++at) {
        if (text[at] != '\\') {
            out += text[at];
            continue;
        }
        const char escaped = ++at < text.size() ? text[at] : '\\';
        switch (escaped) {
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                unsigned code = four_hex(at + 1);
                at += 4;
                if (code >= 0xD800 && code < 0xDC00 && at + 2 < text.size() && text[at + 1] == '\\' &&
                    text[at + 2] == 'u') {
                    code = 0x10000 + ((code - 0xD800) << 10) + (four_hex(at + 3) - 0xDC00);
                    at += 6;
                }
                append_utf8(out, code);
                break;
            }
            default:
                out += escaped;  // '"', '\\' and '/' stand for themselves
        }
    }
    ++at;
    return out;
}

struct Frame {
    bool object = false;
    std::size_t keys_at = 0;  // an object's place in the result
    std::size_t items = 0;    // an array's items so far
    std::string last_key;     // an object's latest key
    bool expect_key = false;
};

}  // namespace

std::vector<ObjectKeys> object_keys(std::string_view text) {
    std::vector<ObjectKeys> objects;
    std::vector<Frame> frames;
    // The path of a container opened where the innermost frame is now.
    const auto inner_path = [&]() -> std::string {
        if (frames.empty()) return {};
        const Frame& frame = frames.back();
        const std::string& outer = frame.object ? objects[frame.keys_at].path : std::string();
        std::string path = outer;
        if (frame.object) return (path.empty() ? path : path.append(1, '.')).append(frame.last_key);
        return path.append(1, '[').append(std::to_string(frame.items)).append(1, ']');
    };
    std::vector<std::string> array_paths;  // the path of each open array, innermost last
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        if (c == '"') {
            const std::size_t start = at;
            std::string value = read_string(text, at);
            if (!frames.empty() && frames.back().object && frames.back().expect_key) {
                frames.back().expect_key = false;
                objects[frames.back().keys_at].keys.push_back({value, start});
                frames.back().last_key = std::move(value);
            }
            continue;
        }
        if (c == '{' || c == '[') {
            std::string path = inner_path();
            if (!frames.empty() && !frames.back().object) path.insert(0, array_paths.back());
            Frame frame;
            frame.object = c == '{';
            if (frame.object) {
                frame.keys_at = objects.size();
                frame.expect_key = true;
                objects.push_back({std::move(path), {}});
            } else {
                array_paths.push_back(std::move(path));
            }
            frames.push_back(std::move(frame));
        } else if (c == '}' || c == ']') {
            if (!frames.empty() && !frames.back().object) array_paths.pop_back();
            if (!frames.empty()) frames.pop_back();
        } else if (c == ',' && !frames.empty()) {
            if (frames.back().object) {
                frames.back().expect_key = true;
            } else {
                ++frames.back().items;
            }
        }
        ++at;
    }
    return objects;
}

LineColumn line_column(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    LineColumn place;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++place.line;
            line_start = i + 1;
        }
    }
    place.column = offset - line_start + 1;
    return place;
}

}  // namespace kp
