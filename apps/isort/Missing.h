// Missing values: empty fields, blank ones among numbers, and the texts
// --missing lists (blanks around them do not count).
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace isort::app {

// `text` without the blanks (spaces, tabs) around it.
inline std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

class MissingTexts {
 public:
  MissingTexts() = default;
  explicit MissingTexts(const std::vector<std::string>& texts) {
    for (const std::string& text : texts) texts_.emplace_back(TrimBlanks(text));
  }

  // A missing number: without the blanks around it, empty or listed.
  bool MatchesNumber(std::string_view value) const {
    value = TrimBlanks(value);
    return value.empty() || Listed(value);
  }
  // Missing text: empty, or listed without the blanks around it.
  bool MatchesText(std::string_view value) const {
    return value.empty() || (!texts_.empty() && Listed(TrimBlanks(value)));
  }

 private:
  bool Listed(std::string_view trimmed) const {
    return std::find(texts_.begin(), texts_.end(), trimmed) != texts_.end();
  }

  std::vector<std::string> texts_;
};

}  // namespace isort::app
