#include "ops/pattern.h"

#include <memory>
#include <string>
#include <vector>

namespace kp {

namespace {

enum class Kind : unsigned char { byte, one, star, globstar, globstar_slash, set };

struct Token {
    Kind kind = Kind::byte;
    unsigned char byte = 0;
    bool negated = false;
    std::vector<std::pair<unsigned char, unsigned char>> ranges;  // a class's ranges, inclusive
};

// A class from just after its '['; false (and the '[' is a byte of its own) when it never
// closes.
bool read_class(std::string_view pattern, std::size_t& at, Token& token) {
    std::size_t i = at;
    if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) {
        token.negated = true;
        ++i;
    }
    const std::size_t first = i;
    for (; i < pattern.size() && (pattern[i] != ']' || i == first); ++i) {
        if (pattern[i] == '\\' && i + 1 < pattern.size()) ++i;
        const auto low = static_cast<unsigned char>(pattern[i]);
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            std::size_t high_at = i + 2;
            if (pattern[high_at] == '\\' && high_at + 1 < pattern.size()) ++high_at;
            token.ranges.emplace_back(low, static_cast<unsigned char>(pattern[high_at]));
            i = high_at;
        } else {
            token.ranges.emplace_back(low, low);
        }
    }
    if (i >= pattern.size()) return false;
    token.kind = Kind::set;
    at = i + 1;
    return true;
}

std::vector<Token> tokens_of(std::string_view pattern) {
    std::vector<Token> tokens;
    for (std::size_t at = 0; at < pattern.size();) {
        Token token;
        const char c = pattern[at++];
        if (c == '*') {
            token.kind = Kind::star;
            if (at < pattern.size() && pattern[at] == '*') {
                while (at < pattern.size() && pattern[at] == '*') ++at;
                token.kind = Kind::globstar;
                if (at < pattern.size() && pattern[at] == '/') {
                    token.kind = Kind::globstar_slash;
                    ++at;
                }
            }
        } else if (c == '?') {
            token.kind = Kind::one;
        } else if (c == '[' && read_class(pattern, at, token)) {
            // the class is read
        } else {
            token.byte = static_cast<unsigned char>(c);
            if (c == '\\' && at < pattern.size()) token.byte = static_cast<unsigned char>(pattern[at++]);
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

unsigned char folded(unsigned char c, bool fold) {
    return fold && c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool in_class(const Token& token, unsigned char c, bool fold) {
    const auto in_ranges = [&token](unsigned char byte) {
        for (const auto& [low, high] : token.ranges) {
            if (byte >= low && byte <= high) return true;
        }
        return false;
    };
    bool found = in_ranges(c);
    if (fold && c >= 'a' && c <= 'z') found = found || in_ranges(static_cast<unsigned char>(c - 'a' + 'A'));
    if (fold && c >= 'A' && c <= 'Z') found = found || in_ranges(static_cast<unsigned char>(c - 'A' + 'a'));
    return found != token.negated;
}

}  // namespace

bool glob_match(std::string_view pattern, std::string_view name, NameRules rules) {
    const bool fold = rules == NameRules::windows;
    const std::vector<Token> tokens = tokens_of(pattern);
    const std::size_t width = name.size() + 1;
    // matches[t * width + n]: tokens from t on match the name from n on. Filled from the
    // end, so each cell needs only cells already known: time and room are both the
    // pattern's length times the name's, whatever the stars.
    const auto matches = std::make_unique<bool[]>((tokens.size() + 1) * width);  // all false
    matches[tokens.size() * width + name.size()] = true;
    const auto in_run = std::make_unique<bool[]>(width);  // '**/' part way through a directory's name
    for (std::size_t t = tokens.size(); t-- > 0;) {
        const Token& token = tokens[t];
        const bool* next = &matches[(t + 1) * width];
        bool* same = &matches[t * width];
        for (std::size_t n = name.size() + 1; n-- > 0;) {
            const bool more = n < name.size();
            const auto c = more ? static_cast<unsigned char>(name[n]) : 0;
            bool match = false;
            switch (token.kind) {
                case Kind::byte:
                    match = more && folded(c, fold) == folded(token.byte, fold) && next[n + 1];
                    break;
                case Kind::one:
                    match = more && c != '/' && next[n + 1];
                    break;
                case Kind::set:
                    match = more && c != '/' && in_class(token, c, fold) && next[n + 1];
                    break;
                case Kind::star:
                    match = next[n] || (more && c != '/' && same[n + 1]);
                    break;
                case Kind::globstar:
                    match = next[n] || (more && same[n + 1]);
                    break;
                case Kind::globstar_slash:
                    // No directory at all, or whole directories: runs that each end in '/'.
                    in_run[n] = more && (c == '/' ? same[n + 1] : in_run[n + 1]);
                    match = next[n] || in_run[n];
                    break;
            }
            same[n] = match;
        }
    }
    return matches[0];
}

}  // namespace kp
