// Where the keys of a JSON text lie, which a parsed document no longer says: for telling a
// person which line of a manifest holds a key twice, or one that means nothing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kp {

struct KeyPlace {
    std::string key;     // as the parser reads it, escapes decoded
    std::size_t offset;  // of its opening quote, in bytes from the text's start
};

// The keys of one object, in the order they come.
struct ObjectKeys {
    std::string path;  // "" for the outermost, then as "entries[3]" or "a.b"
    std::vector<KeyPlace> keys;
};

// Every object of `text`, which must be valid JSON, and its keys.
std::vector<ObjectKeys> object_keys(std::string_view text);

// Line and column, from 1, of the byte at `offset`: a column counts bytes, as the
// parser's own messages do.
struct LineColumn {
    std::size_t line = 1;
    std::size_t column = 1;
};
LineColumn line_column(std::string_view text, std::size_t offset);

}  // namespace kp
