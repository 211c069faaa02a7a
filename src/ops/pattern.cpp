#include "ops/pattern.h"

#include <algorithm>
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

// Tokens with each run of '**/' made one: two in a row match what one does (nothing, or
// whole directories), and a long run would otherwise be a long chain of skips.
std::vector<Token> merged(std::vector<Token> tokens) {
    std::vector<Token> kept;
    for (Token& token : tokens) {
        if (token.kind == Kind::globstar_slash && !kept.empty() && kept.back().kind == Kind::globstar_slash) continue;
        kept.push_back(std::move(token));
    }
    return kept;
}

using Word = std::uint64_t;

void set_bit(std::vector<Word>& set, std::size_t state) {
    set[state / 64] |= Word{1} << (state % 64);
}

bool has_bit(const std::vector<Word>& set, std::size_t state) {
    return (set[state / 64] >> (state % 64) & 1) != 0;
}

// `into` |= (`from` & `mask`) shifted up by `by` states (1 or 2).
void or_shifted(Word* into, const Word* from, const Word* mask, std::size_t words, unsigned by) {
    Word carry = 0;
    for (std::size_t w = 0; w < words; ++w) {
        const Word moving = from[w] & mask[w];
        into[w] |= moving << by | carry;
        carry = moving >> (64 - by);
    }
}

// Adds every state reachable without a byte. The skips only go forward, and runs of
// them are short (merged keeps '**/' from repeating), so a few rounds settle it.
void close_over_skips(const CompiledPattern& pattern, std::vector<Word>& states, std::vector<Word>& scratch) {
    for (;;) {
        scratch = states;
        or_shifted(scratch.data(), states.data(), pattern.skip.data(), pattern.words, 1);
        or_shifted(scratch.data(), states.data(), pattern.skip_two.data(), pattern.words, 2);
        if (scratch == states) return;
        states.swap(scratch);
    }
}

}  // namespace

CompiledPattern compile_pattern(std::string_view pattern, NameRules rules) {
    const bool fold = rules == NameRules::windows;
    const std::vector<Token> tokens = merged(tokens_of(pattern));
    std::size_t states = 0;
    for (const Token& token : tokens) states += token.kind == Kind::globstar_slash ? 2 : 1;
    CompiledPattern compiled;
    compiled.accept = states;
    compiled.words = (states + 1) / 64 + 1;  // room for the accepting state and a shift past it
    const std::vector<Word> none(compiled.words, 0);
    compiled.next.assign(256 * compiled.words, 0);
    compiled.stay_any = compiled.stay_part = compiled.skip = compiled.skip_two = compiled.start = none;
    const auto moves_on = [&compiled](std::size_t state, unsigned byte) {
        compiled.next[byte * compiled.words + state / 64] |= Word{1} << (state % 64);
    };
    std::size_t state = 0;
    for (const Token& token : tokens) {
        switch (token.kind) {
            case Kind::byte:
                for (unsigned c = 0; c < 256; ++c) {
                    if (folded(static_cast<unsigned char>(c), fold) == folded(token.byte, fold)) moves_on(state, c);
                }
                break;
            case Kind::one:
            case Kind::set:
                for (unsigned c = 0; c < 256; ++c) {
                    const auto byte = static_cast<unsigned char>(c);
                    if (byte != '/' && (token.kind == Kind::one || in_class(token, byte, fold))) moves_on(state, c);
                }
                break;
            case Kind::star:
                set_bit(compiled.stay_part, state);
                set_bit(compiled.skip, state);
                break;
            case Kind::globstar:
                set_bit(compiled.stay_any, state);
                set_bit(compiled.skip, state);
                break;
            case Kind::globstar_slash:
                // Two states: the first matches nothing (on to the second, or past both),
                // the second any run of bytes that ends in '/'.
                set_bit(compiled.skip, state);
                set_bit(compiled.skip_two, state);
                ++state;
                set_bit(compiled.stay_any, state);
                moves_on(state, '/');
                break;
        }
        ++state;
    }
    set_bit(compiled.start, 0);
    std::vector<Word> scratch;
    close_over_skips(compiled, compiled.start, scratch);
    return compiled;
}

namespace {

// Runs the pattern over `name` from its start, telling `at_end` of every place where the
// pattern has matched all it read; stops early when no state is left. Returns whether
// `at_end` said yes.
template <typename AtEnd>
bool run_pattern(const CompiledPattern& pattern, std::string_view name, AtEnd at_end) {
    const std::size_t words = pattern.words;
    std::vector<Word> states = pattern.start;
    std::vector<Word> after(words);
    std::vector<Word> scratch;
    if (has_bit(states, pattern.accept) && at_end(0)) return true;
    for (std::size_t at = 0; at < name.size(); ++at) {
        const auto byte = static_cast<unsigned char>(name[at]);
        const Word* moving = &pattern.next[byte * words];
        bool any = false;
        for (std::size_t w = 0; w < words; ++w) {
            after[w] = states[w] & (pattern.stay_any[w] | (byte == '/' ? 0 : pattern.stay_part[w]));
        }
        or_shifted(after.data(), states.data(), moving, words, 1);
        for (std::size_t w = 0; w < words; ++w) any = any || after[w] != 0;
        if (!any) return false;
        states.swap(after);
        close_over_skips(pattern, states, scratch);
        if (has_bit(states, pattern.accept) && at_end(at + 1)) return true;
    }
    return false;
}

}  // namespace

bool pattern_matches(const CompiledPattern& pattern, std::string_view name) {
    return run_pattern(pattern, name, [&name](std::size_t end) { return end == name.size(); });
}

bool glob_match(std::string_view pattern, std::string_view name, NameRules rules) {
    return pattern_matches(compile_pattern(pattern, rules), name);
}

Exclusions exclusions_of(const std::vector<std::string>& patterns, NameRules rules) {
    Exclusions exclusions;
    for (const std::string& pattern : patterns) exclusions.patterns.push_back(compile_pattern(pattern, rules));
    return exclusions;
}

bool is_excluded(const Exclusions& exclusions, std::string_view name, NameRules rules) {
    const auto part_end = [&](std::size_t at) { return at == name.size() || is_name_separator(name[at], rules); };
    for (const CompiledPattern& pattern : exclusions.patterns) {
        // Every run of whole parts, as GNU tar's exclusions match: from the start of any
        // part to the end of it or of any part after it.
        for (std::size_t start = 0; start <= name.size(); ++start) {
            if (start != 0 && !is_name_separator(name[start - 1], rules)) continue;
            const std::string_view rest = name.substr(start);
            if (run_pattern(pattern, rest, [&](std::size_t end) { return end > 0 && part_end(start + end); })) {
                return true;
            }
            if (name.empty() && pattern_matches(pattern, name)) return true;
        }
    }
    return false;
}

}  // namespace kp
