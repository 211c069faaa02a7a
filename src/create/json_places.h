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

// The keys of one object, in the order they come. Where it lies is kept as a step from
// the object it is in, so that the objects of a text take room in proportion to it.
struct ObjectKeys {
    static constexpr std::size_t outermost = ~std::size_t{0};
    std::size_t parent = outermost;  // the object it lies in, by its place among them
    std::size_t key = 0;             // which of the parent's keys holds it
    std::vector<std::size_t> items;  // the array items on the way from there, outermost first
    std::vector<KeyPlace> keys;
};

// Every object of `text`, which must be valid JSON nested no deeper than
// deepest_nesting (see too_deep), and its keys.
std::vector<ObjectKeys> object_keys(std::string_view text);

// The path of `objects[object]`: "" for the outermost, then as "entries[3]" or "a.b".
std::string object_path(const std::vector<ObjectKeys>& objects, std::size_t object);

// Whether the object is the outermost one, or one of its "entries": the only ones whose
// keys have meanings to check.
bool is_outermost(const ObjectKeys& object);
bool is_entry(const std::vector<ObjectKeys>& objects, const ObjectKeys& object);

// How deeply a manifest's objects and arrays may nest: what --json prints is three deep.
inline constexpr std::size_t deepest_nesting = 64;

// Where the first object or array of `text` opens that lies deeper than `deepest`: the
// offset of its bracket, or none (npos).
std::size_t too_deep(std::string_view text, std::size_t deepest = deepest_nesting);

// Line and column, from 1, of the byte at `offset`: a column counts bytes, as the
// parser's own messages do.
struct LineColumn {
    std::size_t line = 1;
    std::size_t column = 1;
};
LineColumn line_column(std::string_view text, std::size_t offset);

}  // namespace kp
