// "Did you mean": the nearest of the names a mistyped one was meant to be.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvanex::sim {

// The candidate closest to `word` by edit distance, when close enough to be
// a slip of the fingers (at most a third of the word, and at least one);
// "" otherwise.
std::string closest(std::string_view word, const std::vector<std::string> &candidates);

// " (did you mean 'x'?)" or "".
std::string did_you_mean(std::string_view word, const std::vector<std::string> &candidates);

} // namespace tolvanex::sim
