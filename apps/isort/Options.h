// Option values of the isort command that CLI11 hands over as text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace isort::app {

// A bad command line; main prints the message and a hint.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The smallest memory budget the engine sorts within (its floor).
constexpr std::uint64_t kSmallestBudget = std::uint64_t{512} << 20;

// "512M", "2G", "1.5G", "600000000" (bytes); K, M, G, T are powers of 1024.
std::uint64_t ParseSize(const std::string& text);
// A size of at least kSmallestBudget: the engine never sorts in less, and a
// budget it would silently exceed is no budget.
std::uint64_t ParseMemory(const std::string& text);
// A positive whole number.
std::uint64_t ParseCount(const std::string& text);
// One byte, or "tab" or "\t" for a tab. Quotes, line ends and NUL cannot
// separate fields.
char ParseDelimiter(const std::string& text);
// Adds the comma-separated texts of `list` to `texts`.
void AppendMissingTexts(const std::string& list, std::vector<std::string>& texts);

}  // namespace isort::app
