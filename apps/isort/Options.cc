#include "Options.h"

#include <cmath>
#include <cstdlib>

namespace isort::app {

std::uint64_t ParseSize(const std::string& text) {
  char* end = nullptr;
  const double number = std::strtod(text.c_str(), &end);
  double scale = 1;
  std::string suffix(end);
  if (suffix.size() > 1 && (suffix.back() == 'B' || suffix.back() == 'b')) suffix.pop_back();
  if (suffix == "K" || suffix == "k") scale = 1024.0;
  else if (suffix == "M" || suffix == "m") scale = 1024.0 * 1024;
  else if (suffix == "G" || suffix == "g") scale = 1024.0 * 1024 * 1024;
  else if (suffix == "T" || suffix == "t") scale = 1024.0 * 1024 * 1024 * 1024;
  else if (!suffix.empty()) throw UsageError("not a size: '" + text + "' (try 512M or 2G)");
  if (end == text.c_str() || !(number > 0) || !(number * scale < 0x1p63)) {
    throw UsageError("not a size: '" + text + "' (try 512M or 2G)");
  }
  return static_cast<std::uint64_t>(number * scale);
}

std::uint64_t ParseMemory(const std::string& text) {
  const std::uint64_t bytes = ParseSize(text);
  if (bytes < kSmallestBudget) {
    throw UsageError("a memory budget of " + text + " is below the smallest, 512M");
  }
  return bytes;
}

std::uint64_t ParseCount(const std::string& text) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value == 0 || text[0] == '-') {
    throw UsageError("not a positive number: '" + text + "'");
  }
  return value;
}

char ParseDelimiter(const std::string& text) {
  if (text == "tab" || text == "TAB" || text == "\\t") return '\t';
  if (text.size() != 1 || text[0] == '"' || text[0] == '\n' || text[0] == '\r') {
    throw UsageError("the delimiter must be one byte other than '\"' and a line end, "
                     "or tab: not '" + text + "'");
  }
  return text[0];
}

void AppendMissingTexts(const std::string& list, std::vector<std::string>& texts) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = list.find(',', start);
    texts.push_back(list.substr(start, comma - start));
    if (comma == std::string::npos) return;
    start = comma + 1;
  }
}

}  // namespace isort::app
