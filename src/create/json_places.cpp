#include "create/json_places.h"

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

// An object or array still open, innermost last.
struct Frame {
    bool object = false;
    std::size_t at = 0;       // an object's place among the objects
    std::size_t items = 0;    // an array's items so far
    bool expect_key = false;  // an object's next string is a key
};

// Skips the string whose opening quote is at `at`: `at` ends past its closing quote.
void skip_string(std::string_view text, std::size_t& at) {
    for (++at; at < text.size() && text[at] != '"'; ++at) {
        if (text[at] == '\\') ++at;
    }
    ++at;
}

}  // namespace

std::vector<ObjectKeys> object_keys(std::string_view text) {
    std::vector<ObjectKeys> objects;
    std::vector<Frame> frames;
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        if (c == '"') {
            const std::size_t start = at;
            std::string value = read_string(text, at);
            if (!frames.empty() && frames.back().object && frames.back().expect_key) {
                frames.back().expect_key = false;
                objects[frames.back().at].keys.push_back({std::move(value), start});
            }
            continue;
        }
        if (c == '{' || c == '[') {
            Frame frame;
            frame.object = c == '{';
            if (frame.object) {
                // The nearest object out, and the array items between: each frame's own.
                ObjectKeys made;
                std::size_t outer = frames.size();
                while (outer > 0 && !frames[outer - 1].object) --outer;
                if (outer > 0) {
                    made.parent = frames[outer - 1].at;
                    made.key = objects[made.parent].keys.empty() ? 0 : objects[made.parent].keys.size() - 1;
                }
                for (std::size_t f = outer; f < frames.size(); ++f) made.items.push_back(frames[f].items);
                frame.at = objects.size();
                frame.expect_key = true;
                objects.push_back(std::move(made));
            }
            frames.push_back(frame);
        } else if (c == '}' || c == ']') {
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

std::string object_path(const std::vector<ObjectKeys>& objects, std::size_t object) {
    const ObjectKeys& here = objects[object];
    std::string path;
    if (here.parent != ObjectKeys::outermost) {
        path = object_path(objects, here.parent);
        const std::vector<KeyPlace>& keys = objects[here.parent].keys;
        if (!path.empty()) path += '.';
        if (here.key < keys.size()) path += keys[here.key].key;
    }
    for (const std::size_t item : here.items) path.append(1, '[').append(std::to_string(item)).append(1, ']');
    return path;
}

bool is_outermost(const ObjectKeys& object) {
    return object.parent == ObjectKeys::outermost && object.items.empty();
}

bool is_entry(const std::vector<ObjectKeys>& objects, const ObjectKeys& object) {
    return object.parent != ObjectKeys::outermost && is_outermost(objects[object.parent]) && object.items.size() == 1 &&
           object.key < objects[object.parent].keys.size() && objects[object.parent].keys[object.key].key == "entries";
}

std::size_t too_deep(std::string_view text, std::size_t deepest) {
    std::size_t depth = 0;
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        if (c == '"') {
            skip_string(text, at);
            continue;
        }
        if ((c == '{' || c == '[') && ++depth > deepest) return at;
        if ((c == '}' || c == ']') && depth > 0) --depth;
        ++at;
    }
    return std::string_view::npos;
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
