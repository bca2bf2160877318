// The unit tags of the compressed group format (described at the top of
// GroupFormat.cc), shared by its two implementations: the portable one in
// GroupFormat.cc and the AVX-512 one in GroupFormatVector.cc.
#pragma once

#include <cstdint>

#include "isort/platform.h"

namespace isort::platform::streams::group {

constexpr std::uint64_t BitsOfDouble(double value) { return __builtin_bit_cast(std::uint64_t, value); }

constexpr std::uint64_t kSystemMissing = BitsOfDouble(isort::platform::kSystemMissing);
constexpr std::uint64_t kBlanks = 0x2020202020202020ull;
constexpr unsigned char kCodedBit = 0x80;
constexpr unsigned char kCountBits = 0x7F;

enum Tag : unsigned char {
  kZero = 0,
  kMissing = 1,
  kBlank = 2,
  kPlus1 = 3,
  kPlus2 = 4,
  kPlus3 = 5,
  kPlus4 = 6,
  kMinus1 = 7,
  kMinus2 = 8,
  kText2 = 9,
  kText4 = 10,
  kText6 = 11,
  kHigh2 = 12,
  kHigh3 = 13,
  kHigh5 = 14,
  kRaw = 15,
};

constexpr unsigned char kStoredBytes[16] = {0, 0, 0, 1, 2, 3, 4, 1, 2, 2, 4, 6, 2, 3, 5, 8};

constexpr bool IsInteger(unsigned tag) { return tag >= kPlus1 && tag <= kMinus2; }
constexpr bool IsNegativeInteger(unsigned tag) { return tag >= kMinus1 && tag <= kMinus2; }

constexpr std::uint64_t LowBytesMask(unsigned bytes) {
  return bytes >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * bytes)) - 1;
}

// The stored bytes of the kHigh tags are a unit's high bytes: the unit
// shifted right by this much (and left again when read).
constexpr unsigned char kEncodeShift[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                            0, 0, 0, 0, 48, 40, 24, 0};

// The bits a unit of `tag` has besides its stored ones.
constexpr std::uint64_t FillOf(unsigned tag) {
  if (tag == kMissing) return kSystemMissing;
  if (tag == kBlank) return kBlanks;
  if (tag >= kText2 && tag <= kText6) return kBlanks & ~LowBytesMask(kStoredBytes[tag]);
  return 0;
}

}  // namespace isort::platform::streams::group
