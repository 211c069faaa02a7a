#include "ops/suggest.h"

#include <algorithm>

namespace kp {

std::size_t edit_distance(std::string_view a, std::string_view b) {
    // Three rows of the table: two back for a swap of neighbours, one back, this one.
    std::vector<std::size_t> before(b.size() + 1);
    std::vector<std::size_t> last(b.size() + 1);
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) last[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t substitute = last[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            row[j] = std::min({last[j] + 1, row[j - 1] + 1, substitute});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                row[j] = std::min(row[j], before[j - 2] + 1);
            }
        }
        before.swap(last);
        last.swap(row);
    }
    return last[b.size()];
}

std::string_view nearest(std::string_view word, const std::vector<std::string_view>& candidates, std::size_t most) {
    std::string_view found;
    std::size_t best = most + 1;
    for (const std::string_view candidate : candidates) {
        const std::size_t distance = edit_distance(word, candidate);
        if (distance < best) {
            best = distance;
            found = candidate;
        }
    }
    return found;
}

}  // namespace kp
