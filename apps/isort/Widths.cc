#include "Widths.h"

namespace isort::app {

LengthCounts::LengthCounts(std::uint64_t limit) : counts_(limit / 8 + 2, 0) {}

void LengthCounts::Merge(const LengthCounts& other) {
  for (std::size_t i = 0; i < counts_.size() && i < other.counts_.size(); ++i) {
    counts_[i] += other.counts_[i];
  }
}

std::uint64_t LengthCounts::CheapestWidth(std::uint64_t longCost) const {
  // Lengths beyond the limit travel apart whatever the width: they add the
  // same to every choice and are left out.
  const std::size_t steps = counts_.size() - 1;
  std::uint64_t rows = 0;
  for (std::uint64_t count : counts_) rows += count;
  // cost(w) for w = 8 * (steps - 1) down to 0, with the cost of the values
  // longer than w (counted at the top of their step) summed on the way.
  std::uint64_t apart = 0;
  std::size_t best = steps - 1;
  std::uint64_t bestCost = rows * 8 * best;
  for (std::size_t step = steps - 1; step-- > 0;) {
    apart += counts_[step + 1] * (longCost + 8 * (step + 1));
    const std::uint64_t cost = rows * 8 * step + apart;
    if (cost < bestCost) {
      bestCost = cost;
      best = step;
    }
  }
  return 8 * best;
}

}  // namespace isort::app
