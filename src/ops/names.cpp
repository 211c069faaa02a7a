#include "ops/names.h"

#include <algorithm>
#include <string>

#include "fs/stream.h"

namespace kp {

namespace {

// The numbers after COM and LPT that make a device name. Windows also takes the
// superscript digits one, two and three: in UTF-8, or as the single bytes they are in
// the ANSI code page that a name which is not UTF-8 is read in.
bool is_device_number(std::string_view digits) {
    if (digits.size() == 1) {
        return (digits[0] >= '1' && digits[0] <= '9') || digits[0] == '\xB9' || digits[0] == '\xB2' ||
               digits[0] == '\xB3';
    }
    return digits == "\xC2\xB9" || digits == "\xC2\xB2" || digits == "\xC2\xB3";
}

}  // namespace

bool is_name_separator(char c, NameRules rules) {
    return c == '/' || (rules == NameRules::windows && c == '\\');
}

bool next_part(NameParts& parts, NamePart& part) {
    if (parts.start > parts.name.size()) return false;
    std::size_t stop = parts.start;
    while (stop < parts.name.size() && !is_name_separator(parts.name[stop], parts.rules)) ++stop;
    part = {parts.name.substr(parts.start, stop - parts.start), stop};
    parts.start = stop + 1;
    return true;
}

bool is_reserved_device_name(std::string_view component) {
    // Windows ignores the extension and trailing blanks when it looks for a device.
    std::string_view stem = component.substr(0, component.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    std::string upper(stem);
    for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" || upper == "CONIN$" ||
        upper == "CONOUT$") {
        return true;
    }
    return (upper.starts_with("COM") || upper.starts_with("LPT")) &&
           is_device_number(std::string_view(upper).substr(3));
}

bool is_safe_entry_name(std::string_view name, NameRules rules) {
    return name_fault(name, rules) == NameFault::none;
}

NameFault name_fault(std::string_view name, NameRules rules, std::string* part_found) {
    if (name.empty()) return NameFault::empty;
    if (is_name_separator(name.front(), NameRules::windows)) return NameFault::absolute;
    bool dot_part = false;  // a part that begins with '.', as "." and ".." do
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return NameFault::control;
        if (c == ':') return NameFault::colon;
        if (c == '.' && (i == 0 || is_name_separator(name[i - 1], NameRules::windows))) dot_part = true;
    }
    // Under POSIX rules only "..", "." and an empty last part are left to find.
    if (rules == NameRules::posix && !dot_part && !is_name_separator(name.back(), NameRules::windows)) {
        return NameFault::none;
    }
    // Both separators split, whatever the rules: "a\\..\\b" climbs wherever it is written.
    NameParts parts{name, NameRules::windows};
    for (NamePart each; next_part(parts, each);) {
        const std::string_view part = each.text;
        const bool last = each.end == name.size();
        if (part == "..") return NameFault::parent;
        // The last part is the file itself: it must name one.
        if (last && (part.empty() || part == ".")) return NameFault::no_file;
        if (rules == NameRules::windows && part != ".") {
            NameFault fault = NameFault::none;
            if (is_reserved_device_name(part)) {
                fault = NameFault::device;
            } else if (!part.empty() && (part.back() == '.' || part.back() == ' ')) {
                fault = NameFault::trailing_dot_space;
            }
            if (fault != NameFault::none) {
                if (part_found != nullptr) part_found->assign(part);
                return fault;
            }
        }
    }
    return NameFault::none;
}

bool name_refused(std::string_view name, EntryProblem& problem) {
    problem.name_fault = name_fault(name, native_name_rules(), &problem.part);
    if (problem.name_fault == NameFault::none) return false;
    problem.failure = EntryFailure::unsafe_name;
    return true;
}

std::string joined_parts(std::string_view name, NameRules rules) {
    std::string joined;
    NameParts parts{name, rules};
    for (NamePart part; next_part(parts, part);) {
        if (!part.names()) continue;
        if (!joined.empty()) joined += '/';
        joined += part.text;
    }
    return joined;
}

std::string_view stripped_name(std::string_view name, u32 count, NameRules rules) {
    if (count == 0) return name;  // as it is, a leading separator too, which extraction refuses
    NameParts parts{name, rules};
    NamePart part;
    while (count > 0 && next_part(parts, part)) {
        if (part.names()) --count;
    }
    if (count > 0) return {};
    std::size_t start = part.end;
    while (start < name.size() && is_name_separator(name[start], rules)) ++start;  // "a//b": not "/b"
    return name.substr(start);
}

namespace {

// The key of a safe name, from its parts.
std::string key_of_safe(std::string_view name, NameRules rules) {
    std::string key = joined_parts(name, rules);
    if (rules == NameRules::windows) {
        for (char& c : key) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return key;
}

}  // namespace

std::string name_key(std::string_view name, NameRules rules) {
    // A leading NUL keeps refused names apart from every safe one, which holds none.
    if (!is_safe_entry_name(name, rules)) return std::string(1, '\0').append(name);
    return key_of_safe(name, rules);
}

std::string_view name_key(std::string_view name, NameRules rules, std::string& storage) {
    if (is_safe_entry_name(name, rules)) return safe_name_key(name, rules, storage);
    storage = std::string(1, '\0').append(name);  // as name_key keeps a refused name apart
    return storage;
}

std::string_view safe_name_key(std::string_view name, NameRules rules, std::string& storage) {
    // Under POSIX rules a safe name without empty or "." parts is its own key: what follows
    // each separator, and the start, is no "/" and no "./". One look per separator.
    bool own_key = rules == NameRules::posix && !name.starts_with("./");
    for (std::size_t at = name.find('/'); own_key && at != std::string_view::npos; at = name.find('/', at + 1)) {
        const std::string_view after = name.substr(at + 1);
        own_key = !after.starts_with('/') && !after.starts_with("./");
    }
    if (own_key) return name;
    storage = key_of_safe(name, rules);
    return storage;
}

bool read_names_from(const std::string& list, bool null, std::vector<std::string>& names, std::string& system_text) {
    std::string bytes;
    if (!read_whole_file(list, bytes, system_text)) return false;
    const char end = null ? '\0' : '\n';
    for (std::size_t start = 0; start < bytes.size();) {
        const std::size_t stop = std::min(bytes.find(end, start), bytes.size());
        if (stop > start) names.push_back(bytes.substr(start, stop - start));
        start = stop + 1;
    }
    return true;
}

}  // namespace kp
