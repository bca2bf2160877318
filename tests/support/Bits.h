// A unit's 8 bytes read as another type. Row units hold doubles, string bytes
// and arbitrary bit patterns (NaN payloads, host codes), so tests build and
// compare them bit for bit.
#pragma once

#include <cstdint>
#include <cstring>

namespace isort::testing {

// std::bit_cast, which C++17 lacks.
template <typename To, typename From>
To BitCast(const From& from) {
  static_assert(sizeof(To) == sizeof(From), "both sides have the same size");
  To to;
  std::memcpy(&to, &from, sizeof to);
  return to;
}

inline std::uint64_t Bits(double value) { return BitCast<std::uint64_t>(value); }
inline double FromBits(std::uint64_t bits) { return BitCast<double>(bits); }

}  // namespace isort::testing
