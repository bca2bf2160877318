// The host's constant tables: the global block with the system-missing value
// and the byte-code table of small integers.
#include <cstdint>

#include "host/HostServices.h"
#include "isort/platform.h"

namespace {

// The upper 32 bits of the double that holds the integer v (|v| < 2^20).
constexpr std::uint64_t UpperHalfOfDouble(int v) {
  if (v == 0) return 0;
  const std::uint64_t sign = v < 0 ? 1 : 0;
  const std::uint64_t magnitude = v < 0 ? -v : v;
  int exponent = 0;
  while ((magnitude >> (exponent + 1)) != 0) ++exponent;
  const std::uint64_t mantissa = (magnitude - (std::uint64_t{1} << exponent))
                                 << (52 - exponent);
  const std::uint64_t bits = (sign << 63) |
                             (static_cast<std::uint64_t>(1023 + exponent) << 52) |
                             mantissa;
  return bits >> 32;
}

struct ByteCodeTable {
  std::uint64_t entries[256];
};

constexpr ByteCodeTable MakeByteCodeTable() {
  ByteCodeTable table{};
  for (int code = 1; code <= 252; ++code) {
    table.entries[code] = UpperHalfOfDouble(code - 100);
  }
  return table;
}

constexpr ByteCodeTable kByteCodes = MakeByteCodeTable();
static_assert(kByteCodes.entries[101] == 0x3FF00000, "code 101 is 1.0");
static_assert(kByteCodes.entries[1] == 0xC058C000, "code 1 is -99.0");
static_assert(kByteCodes.entries[100] == 0, "code 100 is 0.0");

// The host's global block: slot 2 holds the system-missing value.
OBS globalBlock[4] = {0.0, isort::platform::kSystemMissing, 0.0, 0.0};

}  // namespace

extern "C" {

OBS* CmnGlb = globalBlock;

// Spelled out from the constexpr table so that the exported array is constant
// data, initialised before any code runs.
#define ISORT_ROW(i) kByteCodes.entries[i]
const std::uint64_t IEEEPart1[256] = {
#define ISORT_ROW8(i)                                                    \
  ISORT_ROW(i), ISORT_ROW(i + 1), ISORT_ROW(i + 2), ISORT_ROW(i + 3),     \
      ISORT_ROW(i + 4), ISORT_ROW(i + 5), ISORT_ROW(i + 6), ISORT_ROW(i + 7)
#define ISORT_ROW64(i) \
  ISORT_ROW8(i), ISORT_ROW8(i + 8), ISORT_ROW8(i + 16), ISORT_ROW8(i + 24), \
      ISORT_ROW8(i + 32), ISORT_ROW8(i + 40), ISORT_ROW8(i + 48), ISORT_ROW8(i + 56)
    ISORT_ROW64(0), ISORT_ROW64(64), ISORT_ROW64(128), ISORT_ROW64(192)};
#undef ISORT_ROW64
#undef ISORT_ROW8
#undef ISORT_ROW

}  // extern "C"
