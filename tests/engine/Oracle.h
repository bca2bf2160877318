// Random data sets and the oracle that every sort of them must match: a plain
// std::stable_sort of whole rows by the same keys.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "isort/FileSort.h"
#include "isort/types.h"

namespace isort::testing {

// A row layout: variables of 1 unit (numeric) or of a string width.
struct Variable {
  unsigned int position;  // first unit, from 0
  unsigned int width;     // 0 numeric, else bytes
  // A numeric variable of NaNs and zeros only. A NaN ties with every value,
  // which orders consistently only when all other values of the column are
  // equal too; mixed with other values it would make the order intransitive,
  // and then no two correct sorts need agree.
  bool nanColumn = false;
};

struct DataSet {
  unsigned int units = 0;
  std::vector<Variable> variables;
  std::vector<FileSort::SortKey> keys;
  std::vector<OBS> rows;  // rows.size() / units rows, end to end

  std::size_t RowCount() const { return units == 0 ? 0 : rows.size() / units; }
  const OBS* Row(std::size_t i) const { return rows.data() + i * units; }

  // The key array in the host's layout (column-major, positions from 1), with
  // the directions given as `hostDirections` (any value > 0 ascending).
  std::vector<SI> HostKeys(const std::vector<SI>& hostDirections) const {
    const std::size_t n = keys.size();
    std::vector<SI> host(3 * n);
    for (std::size_t k = 0; k < n; ++k) {
      host[k] = keys[k].position + 1;
      host[n + k] = hostDirections[k];
      host[2 * n + k] = keys[k].width;
    }
    return host;
  }
};

inline std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

inline double FromBits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// NaNs with payloads, and both zeros.
inline double RandomNanOrZero(std::mt19937_64& random) {
  switch (random() % 4) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return FromBits(0x7FF4000000000123ull ^ (random() & 0xFF));
    case 2: return -0.0;
    default: return 0.0;
  }
}

// Numeric values with heavy ties and the special cases that order: both
// zeros, the system-missing value, infinities, denormals.
inline double RandomNumber(std::mt19937_64& random, unsigned int distinct) {
  switch (random() % 16) {
    case 0: return -std::numeric_limits<double>::infinity();
    case 1: return -DBL_MIN;
    case 2: return -0.0;
    case 3: return 0.0;
    case 4: return -DBL_MAX;  // the system-missing value
    case 5: return std::numeric_limits<double>::infinity();
    case 6: return std::numeric_limits<double>::denorm_min() * static_cast<double>(random() % 4);
    default: return static_cast<double>(static_cast<int>(random() % distinct) - 3) * 0.5;
  }
}

// `width` bytes of a string field from a small alphabet (with blanks, high
// bytes and NUL, so byte order matters), blank-padded; the unused bytes of the
// last unit hold garbage that no comparison may look at.
inline void RandomString(std::mt19937_64& random, unsigned int width, unsigned int distinct,
                         OBS* field) {
  static const char alphabet[] = {'a', 'b', ' ', 'Z', '\0', '\x7f', '\x80', '\xff'};
  const unsigned int units = width <= 8 ? 1 : (width + 7) / 8;
  std::vector<char> bytes(units * 8);
  for (char& byte : bytes) byte = static_cast<char>(random());
  const unsigned int used = static_cast<unsigned int>(random() % (width + 1));
  const std::uint64_t seed = random() % distinct;
  std::mt19937_64 pick(seed);
  for (unsigned int i = 0; i < width; ++i) {
    bytes[i] = i < used ? alphabet[pick() % sizeof alphabet] : ' ';
  }
  std::memcpy(field, bytes.data(), bytes.size());
}

struct DataSetShape {
  unsigned int minUnits = 1;
  unsigned int maxUnits = 40;
  unsigned int maxKeys = 4;
  unsigned int maxWidth = 40;
  unsigned int distinct = 6;  // small: heavy ties
};

// A random layout, key list (keys in any row order, some given twice) and
// `rows` rows.
inline DataSet RandomDataSet(std::mt19937_64& random, std::size_t rows,
                             const DataSetShape& shape = DataSetShape()) {
  DataSet set;
  const unsigned int target =
      shape.minUnits + static_cast<unsigned int>(random() % (shape.maxUnits - shape.minUnits + 1));
  while (set.units < target) {
    Variable variable{set.units, 0};
    if (random() % 3 == 0) {
      variable.width = 1 + static_cast<unsigned int>(random() % shape.maxWidth);
    } else {
      variable.nanColumn = random() % 5 == 0;
    }
    const unsigned int units = variable.width <= 8 ? 1 : (variable.width + 7) / 8;
    if (set.units + units > target && variable.width > 8) variable.width = 8;
    set.variables.push_back(variable);
    set.units += variable.width <= 8 ? 1 : (variable.width + 7) / 8;
  }
  const unsigned int keyCount = static_cast<unsigned int>(random() % (shape.maxKeys + 1));
  for (unsigned int k = 0; k < keyCount; ++k) {
    const Variable& v = set.variables[random() % set.variables.size()];
    set.keys.push_back({v.position, random() % 2 == 0 ? 1 : -1, v.width});
  }
  set.rows.resize(rows * set.units);
  for (std::size_t r = 0; r < rows; ++r) {
    OBS* row = set.rows.data() + r * set.units;
    for (const Variable& v : set.variables) {
      if (v.nanColumn) {
        row[v.position] = RandomNanOrZero(random);
      } else if (v.width == 0) {
        row[v.position] = RandomNumber(random, shape.distinct);
      } else {
        RandomString(random, v.width, shape.distinct, row + v.position);
      }
    }
  }
  return set;
}

// Key order of two rows: numbers as doubles (a NaN ties with everything),
// strings as unsigned bytes over the key's width.
inline int CompareByKeys(const std::vector<FileSort::SortKey>& keys, const OBS* a,
                         const OBS* b) {
  for (const FileSort::SortKey& key : keys) {
    int result = 0;
    if (key.width == 0) {
      const double x = a[key.position], y = b[key.position];
      result = x < y ? -1 : (y < x ? 1 : 0);
    } else {
      result = std::memcmp(a + key.position, b + key.position, key.width);
    }
    if (result != 0) return result < 0 ? -key.direction : key.direction;
  }
  return 0;
}

// The rows of `set` in the order a stable sort by its keys gives.
inline std::vector<OBS> OracleSort(const DataSet& set) {
  std::vector<std::size_t> order(set.RowCount());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&set](std::size_t a, std::size_t b) {
    return CompareByKeys(set.keys, set.Row(a), set.Row(b)) < 0;
  });
  std::vector<OBS> sorted;
  sorted.reserve(set.rows.size());
  for (std::size_t i : order) sorted.insert(sorted.end(), set.Row(i), set.Row(i) + set.units);
  return sorted;
}

// The index of the first row at which two row sequences differ in any bit,
// or -1 when they are identical.
inline long FirstDifference(const std::vector<OBS>& expected, const std::vector<OBS>& actual,
                            unsigned int units) {
  const std::size_t rows = std::min(expected.size(), actual.size()) / units;
  for (std::size_t r = 0; r < rows; ++r) {
    if (std::memcmp(expected.data() + r * units, actual.data() + r * units,
                    units * sizeof(OBS)) != 0) {
      return static_cast<long>(r);
    }
  }
  if (expected.size() != actual.size()) return static_cast<long>(rows);
  return -1;
}

}  // namespace isort::testing
