// Numbers in CSV fields, and the two ways their order reaches the engine.
//
// A number is a decimal with optional sign, fraction and exponent ("-1.5e3",
// ".5", "7."), or inf, infinity (any case, signed); blanks around it are
// ignored, and a field of blanks only is missing. Order: missing, -inf, the
// numbers by exact value, inf.
//
// The double road: a column whose numbers all have at most 15 significant
// digits in the normal range, or are integers of at most 2^53, sorts by one
// double per value. Distinct such numbers have distinct doubles, so the order
// is exact. Missing is -inf and -inf is the lowest finite double: no number
// on this road comes within 15 digits of it.
//
// The code road, for every other number column: an order-preserving byte
// string whose unsigned byte order is the numbers' exact order, whatever
// their digits:
//
//   missing   (empty)
//   -inf      01
//   x < 0     02, then the magnitude's bytes below, each inverted (255 - b)
//   zero      03
//   x > 0     04, then the magnitude: E + 2^31 as 4 bytes big-endian, where
//             x = 0.d1d2d3... * 10^E with d1 != 0; then the significant digits
//             in pairs, one byte 1 + 10 * d1 + d2 each (a last single digit
//             is paired with 0); then 00
//   inf       05
//
// The magnitude is prefix-free (a fixed exponent, then pairs of 1..100 ended
// by 00), so no code is a proper prefix of another, also inverted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace isort::app {

struct Number {
  enum class Kind : std::uint8_t { kMissing, kFinite, kInfinite, kNotANumber };
  Kind kind = Kind::kNotANumber;
  double value = 0;           // the nearest double (±inf when infinite)
  bool exactAsDouble = true;  // it may travel on the double road
  std::uint32_t codeBytes = 0;  // the length of its code
};

// Reads `text` by the rule above. Exponents beyond ±2^30 make no number.
Number ReadNumber(std::string_view text);

// The double road's key of a number that ReadNumber accepted.
double DoubleKey(const Number& number);

// Appends the code of `text`, which ReadNumber accepted, to `out`.
void AppendNumberCode(std::string_view text, std::string& out);

}  // namespace isort::app
