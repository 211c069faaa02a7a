// Finding an option by its name, a start of its name, or its letter. The long names are
// gone through by age, which decides the order of possibilities and the suggestion.
#include <vector>

#include "cli/option_table.h"
#include "ops/suggest.h"

namespace kp {

const OptionForm* find_long(std::string_view name, std::string& problem) {
    const std::span<const OptionForm* const> forms = options_by_age();
    for (const OptionForm* form : forms) {
        if (name == form->name) return form;
    }
    const OptionForm* found = nullptr;
    std::size_t matches = 0;
    std::string candidates;
    for (const OptionForm* form : forms) {
        if (name.empty() || !std::string_view(form->name).starts_with(name)) continue;
        found = form;
        ++matches;
        candidates += std::string(" '--") + form->name + "'";
    }
    if (matches == 1) return found;
    // A start of --version stays --version, as it was before --version-text: of options
    // whose names each begin with the one before, the shortest is meant.
    const OptionForm* shortest = nullptr;
    for (const OptionForm* form : forms) {
        if (name.empty() || !std::string_view(form->name).starts_with(name)) continue;
        if (shortest == nullptr || std::string_view(shortest->name).starts_with(form->name)) shortest = form;
    }
    bool nested = shortest != nullptr;
    for (const OptionForm* form : forms) {
        if (!name.empty() && std::string_view(form->name).starts_with(name)) {
            nested = nested && std::string_view(form->name).starts_with(shortest->name);
        }
    }
    if (nested) return shortest;
    if (matches != 0) {
        problem = std::string("option '--").append(name) + "' is ambiguous; possibilities:" + candidates;
        return nullptr;
    }
    std::vector<std::string_view> names;
    for (const OptionForm* form : forms) names.emplace_back(form->name);
    const std::string_view meant = nearest(name, names);
    problem = meant.empty() ? std::string("unknown option '--").append(name) + "'"
                            : std::string("unrecognized option '--").append(name) + "'; did you mean '--" +
                                  std::string(meant) + "'?";
    return nullptr;
}

const OptionForm* find_short(char letter) {
    for (const OptionForm& form : option_forms()) {
        if (form.letter != 0 && form.letter == letter) return &form;
    }
    return nullptr;
}

}  // namespace kp
