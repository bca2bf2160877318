// How wide the parts of a row are: the first pass counts the lengths of
// records and key codes, and the widths are chosen from those counts, so that
// a few long values do not make every row wide.
#pragma once

#include <cstdint>
#include <vector>

namespace isort::app {

// Counts of lengths in steps of 8 bytes up to a limit; longer ones together.
class LengthCounts {
 public:
  explicit LengthCounts(std::uint64_t limit = 0);
  void Add(std::uint64_t length) {
    const std::uint64_t step = (length + 7) / 8;
    ++counts_[step < counts_.size() ? step : counts_.size() - 1];
  }
  void Merge(const LengthCounts& other);

  // The multiple of 8 (at most the limit) that minimises
  //   rows * width + sum over the longer lengths of (longCost + length):
  // every row pays for the width, each longer value for travelling apart.
  std::uint64_t CheapestWidth(std::uint64_t longCost) const;

 private:
  std::vector<std::uint64_t> counts_;  // [i]: lengths in (8(i-1), 8i]; the last: longer
};

}  // namespace isort::app
