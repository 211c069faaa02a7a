// Which options cannot go together, or need another: one table, looked at in one order.
#include "cli/options.h"

#include <string>
#include <utility>

namespace kp {

namespace {

// The options that a clash names.
enum class Flag : unsigned char {
    create,
    all,
    extract,
    name,
    include,
    index,
    position,
    list,
    test,
    to_stdout,
    diff,
    sha256,
    strip,
    skip_old,
    json,
    directory,
    trim,
    padded,
    offset,
    update,
    remove,
    scan,
    carve,
    manifest,
    exclude,
    keep_old,
};

bool given(const Options& options, Flag flag) {
    switch (flag) {
        case Flag::create:
            return options.create;
        case Flag::all:
            return options.all;
        case Flag::extract:
            return options.extract;
        case Flag::name:
            return !options.names.empty();
        case Flag::include:
            return !options.patterns.empty();
        case Flag::index:
            return !options.indexes.empty();
        case Flag::position:
            return !options.positions.empty();
        case Flag::list:
            return options.list;
        case Flag::test:
            return options.test;
        case Flag::to_stdout:
            return options.to_stdout;
        case Flag::diff:
            return options.diff.has_value();
        case Flag::sha256:
            return options.sha256;
        case Flag::strip:
            return options.strip.has_value();
        case Flag::skip_old:
            return options.existing == Existing::skip;
        case Flag::json:
            return options.json;
        case Flag::directory:
            return options.directory.has_value();
        case Flag::trim:
            return options.trim;
        case Flag::padded:
            return options.padded;
        case Flag::offset:
            return options.offset.has_value();
        case Flag::update:
            return options.update;
        case Flag::remove:
            return options.remove;
        case Flag::scan:
            return options.scan;
        case Flag::carve:
            return options.carve;
        case Flag::manifest:
            return options.manifest.has_value();
        case Flag::exclude:
            return !options.excludes.empty();
        case Flag::keep_old:
            return options.existing == Existing::keep;
    }
    return false;
}

const char* shown(Flag flag) {
    constexpr const char* names[] = {
        "'--create'",
        "'--all'",
        "'--extract'",
        "'--name'",
        "'--include'",
        "'--index'",
        "'--position'",
        "'--list'",
        "'--test'",
        "'--stdout'",
        "'--diff'",
        "'--sha256'",
        "'--strip-components'",
        "'--skip-old-files'",
        "'--json'",
        "'--directory'",
        "'--trim'",
        "'--padded'",
        "'--offset'",
        "'--update'",
        "'--delete'",
        "'--scan'",
        "'--carve'",
        "'--manifest'",
        "'--exclude'",
        "'--keep-old-files'",
    };
    return names[static_cast<std::size_t>(flag)];
}

// Options that cannot go together, in the order they are looked for: --create writes,
// and nothing that reads goes with it; then what reading cannot do at once; last
// --offset, which only reading takes, with --create.
constexpr std::pair<Flag, Flag> clashes[] = {
    {Flag::create, Flag::all},
    {Flag::create, Flag::extract},
    {Flag::create, Flag::name},
    {Flag::create, Flag::include},
    {Flag::create, Flag::index},
    {Flag::create, Flag::position},
    {Flag::create, Flag::list},
    {Flag::create, Flag::test},
    {Flag::create, Flag::to_stdout},
    {Flag::create, Flag::diff},
    {Flag::create, Flag::sha256},
    {Flag::create, Flag::strip},
    {Flag::create, Flag::skip_old},
    {Flag::create, Flag::json},
    {Flag::to_stdout, Flag::directory},
    {Flag::trim, Flag::padded},
    {Flag::extract, Flag::list},
    {Flag::extract, Flag::diff},
    {Flag::extract, Flag::sha256},
    {Flag::to_stdout, Flag::json},
    {Flag::list, Flag::to_stdout},
    {Flag::diff, Flag::to_stdout},
    {Flag::diff, Flag::directory},
    {Flag::diff, Flag::list},
    {Flag::list, Flag::directory},
    {Flag::sha256, Flag::list},
    {Flag::sha256, Flag::to_stdout},
    {Flag::sha256, Flag::directory},
    {Flag::sha256, Flag::diff},
    {Flag::sha256, Flag::padded},
    {Flag::create, Flag::offset},
    // A change writes FILE anew from FILE: nothing that only reads it, and no other mode.
    {Flag::update, Flag::create},
    {Flag::update, Flag::remove},
    {Flag::update, Flag::scan},
    {Flag::update, Flag::carve},
    {Flag::update, Flag::all},
    {Flag::update, Flag::extract},
    {Flag::update, Flag::name},
    {Flag::update, Flag::include},
    {Flag::update, Flag::index},
    {Flag::update, Flag::position},
    {Flag::update, Flag::list},
    {Flag::update, Flag::test},
    {Flag::update, Flag::to_stdout},
    {Flag::update, Flag::diff},
    {Flag::update, Flag::sha256},
    {Flag::update, Flag::strip},
    {Flag::update, Flag::skip_old},
    {Flag::update, Flag::json},
    {Flag::update, Flag::trim},
    {Flag::update, Flag::padded},
    {Flag::update, Flag::offset},
    {Flag::update, Flag::manifest},
    {Flag::remove, Flag::create},
    {Flag::remove, Flag::scan},
    {Flag::remove, Flag::carve},
    {Flag::remove, Flag::all},
    {Flag::remove, Flag::extract},
    {Flag::remove, Flag::name},
    {Flag::remove, Flag::include},
    {Flag::remove, Flag::index},
    {Flag::remove, Flag::position},
    {Flag::remove, Flag::list},
    {Flag::remove, Flag::test},
    {Flag::remove, Flag::to_stdout},
    {Flag::remove, Flag::diff},
    {Flag::remove, Flag::sha256},
    {Flag::remove, Flag::strip},
    {Flag::remove, Flag::skip_old},
    {Flag::remove, Flag::json},
    {Flag::remove, Flag::trim},
    {Flag::remove, Flag::padded},
    {Flag::remove, Flag::offset},
    {Flag::remove, Flag::manifest},
    {Flag::remove, Flag::directory},
    {Flag::remove, Flag::exclude},
};

// The first clash of the table's rows that `counts`, as a usage message; empty when none.
std::string first_clash(const Options& options, bool (*counts)(std::pair<Flag, Flag>)) {
    for (const auto& [first, second] : clashes) {
        if (counts({first, second}) && given(options, first) && given(options, second))
            return std::string(shown(first)) + " and " + shown(second) + " cannot go together";
    }
    return {};
}

bool of_create(std::pair<Flag, Flag> clash) {
    return clash.first == Flag::create;
}

bool of_edit(std::pair<Flag, Flag> clash) {
    return clash.first == Flag::update || clash.first == Flag::remove;
}

bool of_reading(std::pair<Flag, Flag> clash) {
    return !of_create(clash) && !of_edit(clash);
}

bool of_both(std::pair<Flag, Flag> clash) {
    return clash == std::pair{Flag::trim, Flag::padded};
}

}  // namespace

OptionsProblem check_options(const Options& options) {
    if (std::string clash = first_clash(options, of_reading); !clash.empty()) return refused(clash);
    if (!selects_entries(options) && !options.list && !options.diff && !options.sha256) {
        constexpr const char* needs = " needs something to extract: INDEX, '--name', '--include' or '--all'";
        if (options.to_stdout) return refused(std::string("'--stdout'") + needs);
        if (options.directory) return refused(std::string("'--directory'") + needs);
        if (options.trim) return refused(std::string("'--trim'") + needs);
        if (options.padded) return refused(std::string("'--padded'") + needs);
        if (options.strip) return refused(std::string("'--strip-components'") + needs);
        if (options.existing) {
            return refused(std::string("'--") + (*options.existing == Existing::keep ? "keep" : "skip") +
                           "-old-files'" + needs);
        }
    }
    return {};
}

bool asks_to_scan(const Options& options) {
    return options.scan || options.carve || options.weak;
}

OptionsProblem check_scan_options(const Options& options) {
    const char* mode = options.carve ? "'--carve'" : "'--scan'";
    if (!options.scan && !options.carve) return refused("'--weak' needs '--scan' or '--carve'");
    if (options.scan && options.carve)
        return refused("'--scan' and '--carve' cannot go together: '--carve' lists what it writes");
    if (options.file == nullptr) return refused(std::string(mode) + " needs FILE, the file to look inside");
    const std::pair<bool, const char*> others[] = {
        {options.create, "'--create'"},
        {selects_entries(options), "a selector"},
        {options.list, "'--list'"},
        {options.test, "'--test'"},
        {options.to_stdout, "'--stdout'"},
        {options.diff.has_value(), "'--diff'"},
        {options.sha256, "'--sha256'"},
        {options.strip.has_value(), "'--strip-components'"},
        {options.padded, "'--padded'"},
        {options.trim, "'--trim'"},
        {!options.excludes.empty(), "'--exclude'"},
        {!options.files_from.empty(), "'--files-from'"},
        {options.offset.has_value(), "'--offset'"},
    };
    for (const auto& [given, name] : others) {
        if (given) return refused(std::string(mode) + " and " + name + " cannot go together");
    }
    if (options.scan && options.directory) return refused("'--directory' with '--scan' needs '--carve'");
    if (options.scan && options.existing) return refused("'--scan' writes nothing: '--carve' keeps or skips files");
    return {};
}

OptionsProblem check_edit_options(const Options& options) {
    if (!options.update && !options.remove) {
        return refused(std::string(options.out ? "'--out'" : "'--signatures'") + " needs '--update' or '--delete'");
    }
    if (std::string clash = first_clash(options, of_edit); !clash.empty()) return refused(clash);
    const char* mode = options.update ? "'--update'" : "'--delete'";
    if (options.file == nullptr) return refused(std::string(mode) + " needs FILE, the update file to change");
    if (options.update && options.paths.empty() && options.files_from.empty())
        return refused("'--update' needs a PATH to put into FILE");
    if (options.remove && !options.files_from.empty())
        return refused("'--delete' takes the NAMEs of the entries to remove, not '--files-from'");
    if (options.remove && options.paths.empty()) return refused("'--delete' needs the NAME of an entry to remove");
    if (options.remove && options.zero_signatures) return refused("'--signatures' needs '--update'");
    if (options.existing == Existing::keep && !options.out)
        return refused("'--keep-old-files' with " + std::string(mode) + " needs '--out', whose NEW it keeps");
    return {};
}

OptionsProblem check_create_options(const Options& options) {
    if (!options.create) {
        return refused(std::string(options.manifest ? "'--manifest'" : "'--version-text'") + " needs '--create'");
    }
    if (std::string clash = first_clash(options, of_create); !clash.empty()) return refused(clash);
    if (options.file == nullptr) return refused("'--create' needs NEW, the update file to write");
    if (options.manifest && (!options.paths.empty() || !options.files_from.empty())) {
        return refused("'--manifest' gives the entries: no PATH or '--files-from' goes with it");
    }
    if (!options.manifest && options.paths.empty() && options.files_from.empty()) {
        return refused("'--create' needs a PATH to add, or '--manifest'");
    }
    if (std::string clash = first_clash(options, of_both); !clash.empty()) return refused(clash);
    if (options.padded && !options.manifest) {
        return refused("'--padded' with '--create' needs '--manifest', which gives each file's own size");
    }
    return {};
}

}  // namespace kp
