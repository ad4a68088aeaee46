#include "suggest.h"

#include <algorithm>
#include <cctype>

namespace tolvanex::sim {

namespace {

// Levenshtein distance, case-blind, with a swap of two neighbours counted once.
std::size_t distance(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

} // namespace

std::string closest(std::string_view word, const std::vector<std::string> &candidates) {
    if (word.empty() || word.size() > 200)
        return {};
    std::size_t limit = std::max<std::size_t>(1, word.size() / 3);
    std::string best;
    std::size_t best_distance = limit + 1;
    for (auto &c : candidates) {
        if (c.size() > word.size() + limit + 1 || c == word)
            continue;
        std::size_t d = distance(word, c);
        if (d < best_distance) {
            best_distance = d;
            best = c;
        }
    }
    return best;
}

std::string did_you_mean(std::string_view word, const std::vector<std::string> &candidates) {
    std::string best = closest(word, candidates);
    return best.empty() ? std::string() : " (did you mean '" + best + "'?)";
}

} // namespace tolvanex::sim
