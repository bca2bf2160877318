// Option values of the isort command that CLI11 hands over as text.
#pragma once

#include <algorithm>
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

// The longest record a budget allows. A record is held whole while it is
// parsed and written, and a long key value while its code is made, beside
// the engine's part of the budget; at 512M, where the engine takes the whole
// budget, that must fit into the 100 MiB allowed beside it together with the
// command's buffers: W1 sorted by a text column with one long value peaked at
// 607-611 MiB with a 60 MB value and 612-617 MiB with a 67 MB one (en_US).
// So 48 MiB at 512M, and an eighth of a larger budget, taken from the
// engine's part down to its floor.
constexpr std::uint64_t LongestRecord(std::uint64_t budget) {
  return std::min(budget / 8, (std::uint64_t{48} << 20) + (budget - kSmallestBudget));
}
// The engine's part of a budget: what the longest record leaves of it, and
// never less than the engine's floor.
constexpr std::uint64_t EngineBudget(std::uint64_t budget) {
  return std::max(kSmallestBudget, budget - LongestRecord(budget));
}

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
