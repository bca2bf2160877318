// The units that a key occupies in a row, in a sort record's key part and in
// a packed record's key runs.
#pragma once

#include <cstdint>

namespace isort {

// 1 for a numeric key (width 0) or a string of up to 8 bytes, otherwise
// (width + 7) / 8. Computed in 64 bits so that no width can wrap to a small
// count.
constexpr std::uint64_t KeyUnits(std::uint64_t width) {
  return width <= 8 ? 1 : width / 8 + (width % 8 != 0 ? 1 : 0);
}

}  // namespace isort
