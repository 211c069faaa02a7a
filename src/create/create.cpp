#include "create/create.h"

#include <algorithm>
#include <deque>
#include <unordered_map>

#include "archive/update_archive.h"
#include "fs/file_path.h"
#include "ops/names.h"

namespace kp {

DirectoryRecord record_of(const NewEntry& entry) {
    return entry_record(entry.name, entry.name_tail, entry.index, entry.size, entry.signature);
}

DirectoryRecord header_of(const NewArchive& archive, const NewLayout& layout) {
    return header_record(archive.version, archive.version_tail, archive.entries.size(), layout.end,
                         archive.header_signature);
}

NewLayout layout_of(const NewArchive& archive) {
    NewLayout layout = layout_of_count(archive.entries.size());
    for (std::size_t i = 0; i < archive.entries.size(); ++i) add_to_layout(layout, i, archive.entries[i].size);
    return layout;
}

FileHandle place_of(DirectoryWalk& walk, LastDirectory& last, const NewEntry& entry, const char*& leaf,
                    CreateProblem& problem) {
    const std::string_view name = entry.name;
    // One separator is looked for byte by byte, not as a set: a set's search asks of each byte in turn.
    const std::size_t separator =
        native_name_rules() == NameRules::windows ? name.find_last_of("/\\") : name.rfind('/');
    const std::size_t cut = separator == std::string_view::npos ? 0 : separator + 1;
    leaf = entry.name.c_str() + cut;
    if (last.handle != no_file && name.substr(0, cut) == last.text) return last.handle;
    std::vector<std::filesystem::path> parts = name_parts(name);
    parts.pop_back();
    std::size_t reached = 0;
    DirectoryError error;
    const FileHandle directory = walk_to(walk, parts, reached, error);
    if (directory == no_file) {
        problem = create_problem(CreateFault::path_part, parts_text(parts, reached + 1), error.text);
        if (problem.subject.empty()) problem.subject = entry.name;
    }
    last = {std::string(name.substr(0, cut)), directory};
    return directory;
}
CreateProblem create_problem(CreateFault fault, std::string subject, std::string text, u64 first, u64 second) {
    CreateProblem problem;
    problem.fault = fault;
    problem.subject = std::move(subject);
    problem.text = std::move(text);
    problem.first = first;
    problem.second = second;
    return problem;
}

bool add_filler(NewArchive& archive, const std::string& name) {
    if (archive.entries.size() % 4 != 0) return false;
    NewEntry filler;
    filler.name = name;
    filler.filler = true;
    filler.index = static_cast<u32>(archive.entries.size());
    archive.entries.push_back(std::move(filler));
    return true;
}

void check_new_archive(const NewArchive& archive, std::vector<CreateProblem>& problems) {
    const std::size_t count = archive.entries.size();
    if (count == 0) problems.push_back(create_problem(CreateFault::no_files));
    if (count > max_file_count) problems.push_back(create_problem(CreateFault::too_many_files, {}, {}, count));
    const auto check_tail = [&problems](const std::string& subject, const std::string& text, const std::string& tail) {
        const std::size_t room = text.size() + 1 < text_field_size ? text_field_size - text.size() - 1 : 0;
        if (tail.size() > room) {
            problems.push_back(create_problem(CreateFault::tail_too_long, subject, {}, tail.size(), room));
        }
    };
    if (archive.version.size() > text_field_size) {
        problems.push_back(create_problem(CreateFault::version_too_long, {}, {}, archive.version.size()));
    } else if (archive.version.find('\0') != std::string::npos) {
        problems.push_back(create_problem(CreateFault::name_nul, "the version text"));
    } else {
        check_tail("the version text", archive.version, archive.version_tail);
    }
    const NewLayout layout = layout_of_count(count);  // the gap's room depends on the count alone
    const u64 gap = layout.data_start > layout.directory_end ? layout.data_start - layout.directory_end : 0;
    if (archive.gap.size() > gap) {
        problems.push_back(create_problem(CreateFault::gap_too_long, {}, {}, archive.gap.size(), gap));
    }

    // By the file each name writes: the key of every name that passed, with its position.
    // Most names are their own keys; the others' are kept in `stored`, where no view into
    // them moves.
    std::vector<std::pair<std::string_view, std::size_t>> keys;
    keys.reserve(count);
    std::deque<std::string> stored;
    for (std::size_t position = 0; position < count; ++position) {
        const NewEntry& entry = archive.entries[position];
        CreateProblem problem;
        // A NUL ends the stored text, and the name must leave room for one.
        if (entry.name.size() >= text_field_size) {
            problem.fault = CreateFault::name_too_long;
            problem.first = entry.name.size();
        } else if (entry.name.find('\0') != std::string::npos) {
            problem.fault = CreateFault::name_nul;
        } else if (entry.name.find("//") != std::string::npos) {
            problem.fault = CreateFault::name_empty_part;
        } else if ((problem.name.name_fault = name_fault(entry.name, native_name_rules(), &problem.name.part)) !=
                   NameFault::none) {
            problem.fault = CreateFault::name_refused;
            problem.name.failure = EntryFailure::unsafe_name;
        } else if (entry.declared_size && *entry.declared_size > largest_entry_size) {
            problem.fault = CreateFault::file_too_large;
            problem.first = *entry.declared_size;
            problem.text = "the manifest";
        } else {
            check_tail(entry.name, entry.name, entry.name_tail);
            std::string storage;
            std::string_view key = safe_name_key(entry.name, native_name_rules(), storage);
            if (key.data() == storage.data()) key = stored.emplace_back(std::move(storage));
            keys.emplace_back(key, position);
            continue;
        }
        problem.subject = entry.name;
        problems.push_back(problem);
    }
    // Keys in strictly rising order, as a tree's names come, are all different.
    const auto not_rising = [](const auto& a, const auto& b) { return !(a.first < b.first); };
    if (std::adjacent_find(keys.begin(), keys.end(), not_rising) == keys.end()) return;
    std::unordered_map<std::string_view, std::size_t> files;
    files.reserve(keys.size());
    for (const auto& [key, position] : keys) {
        const auto [found, added] = files.try_emplace(key, position);
        if (added) continue;
        CreateProblem problem = create_problem(CreateFault::duplicate_name, archive.entries[position].name);
        problem.first = found->second;
        problems.push_back(problem);
    }
}

bool take_measure(const NewArchive& archive, NewEntry& entry, const LeafStatus& leaf,
                  std::vector<CreateProblem>& problems, std::vector<CreateWarning>& warnings) {
    if (leaf.size > largest_entry_size) {
        problems.push_back(create_problem(CreateFault::file_too_large, entry.name, {}, leaf.size));
        return false;
    }
    const auto size = static_cast<u32>(leaf.size);
    entry.taken = size;
    entry.size = size;
    const u32 declared = entry.declared_size.value_or(size);
    const u64 chunk = padded_size(declared);
    if (archive.padded && size == chunk && size != declared) {
        entry.size = declared;  // the bytes and their padding, as a padded extraction wrote them
        entry.padding.clear();
    } else if (size != declared) {
        entry.padding.clear();
        warnings.push_back({CreateWarning::Kind::size_changed, entry.name, size, declared, {}});
    } else if (archive.padded && chunk != declared) {
        warnings.push_back({CreateWarning::Kind::not_padded, entry.name, size, chunk, {}});
    }
    if (entry.padding.size() > padded_size(entry.size) - entry.size) {
        problems.push_back(create_problem(CreateFault::padding_too_long, entry.name, {}, entry.padding.size(),
                                          padded_size(entry.size) - entry.size));
        return false;
    }
    return true;
}

void drop_entry(NewArchive& archive, std::size_t position) {
    archive.entries.erase(archive.entries.begin() + static_cast<std::ptrdiff_t>(position));
    // An index number that was the entry's position (a tree's) stays its position.
    for (std::size_t later = position; later < archive.entries.size(); ++later) {
        if (archive.entries[later].index == later + 1) archive.entries[later].index = static_cast<u32>(later);
    }
}

}  // namespace kp
