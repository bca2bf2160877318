// How a benchmark's rows arrive: as generated, in key order, or in key order
// but for every 50th to 100th row, moved one place on.
#pragma once

#include <cstdint>
#include <random>

namespace isort::bench {

enum class Arrival { kGenerated, kPresorted, kNearlySorted };

// Calls `swap(r)` for the rows r, every 50th to 100th of `rows`, that change
// places with the next one to make a sorted input nearly sorted.
template <typename Swap>
void ForEachNearlySortedSwap(std::uint64_t rows, Swap swap) {
  std::mt19937_64 random(5);
  for (std::uint64_t r = 0; r + 1 < rows; r += 50 + random() % 50) swap(r);
}

}  // namespace isort::bench
