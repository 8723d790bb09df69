#pragma once
// Splitting of command lines into words.

#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace orvalis::cli {

inline std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

// Splits "word rest" into the word and the trimmed rest.
inline std::pair<std::string_view, std::string_view> splitWord(std::string_view s) {
  s = trim(s);
  const auto space = s.find_first_of(" \t");
  if (space == std::string_view::npos) return {s, {}};
  return {s.substr(0, space), trim(s.substr(space))};
}

inline std::vector<std::string_view> splitWords(std::string_view s) {
  std::vector<std::string_view> words;
  for (auto [word, rest] = splitWord(s); !word.empty(); std::tie(word, rest) = splitWord(rest))
    words.push_back(word);
  return words;
}

}  // namespace orvalis::cli
