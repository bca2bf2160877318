// Random data sets and the oracle that every sort of them must match: a plain
// std::stable_sort of whole rows by the same keys.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "Bits.h"
#include "isort/FileSort.h"
#include "isort/types.h"

namespace isort::testing {

struct DataSet {
  unsigned int units = 0;
  std::vector<FileSort::SortKey> keys;
  std::vector<OBS> rows;  // end to end

  std::size_t RowCount() const { return units == 0 ? 0 : rows.size() / units; }
  const OBS* Row(std::size_t i) const { return rows.data() + i * units; }
};

// Heavy ties and every special value that orders: both zeros, the
// system-missing value (-DBL_MAX), infinities, denormals. A `nan` column holds
// NaNs (with payloads) and zeros only: a NaN ties with everything, which
// orders consistently only when the column's other values all tie too.
inline double RandomNumber(std::mt19937_64& random, unsigned int distinct, bool nan) {
  if (nan) {
    const std::uint64_t quiet = 0x7FF8000000000000ull, signalling = 0x7FF4000000000123ull;
    if (random() % 2) return random() % 2 ? -0.0 : 0.0;
    return FromBits((random() % 2 ? quiet : signalling) ^ (random() & 0xFF));
  }
  using limits = std::numeric_limits<double>;
  const double special[] = {-limits::infinity(), -DBL_MIN, -0.0, 0.0, -DBL_MAX,
                            limits::infinity(), limits::denorm_min(), 3 * limits::denorm_min()};
  const auto pick = random() % 16;
  if (pick < 8) return special[pick];
  return static_cast<double>(static_cast<int>(random() % distinct) - 3) * 0.5;
}

// A blank-padded string from an alphabet where byte order matters; the bytes
// of its last unit past `width` are garbage that no comparison may read.
inline void RandomString(std::mt19937_64& random, unsigned int width, unsigned int distinct,
                         OBS* field) {
  static const char alphabet[] = {'a', 'b', ' ', 'Z', '\0', '\x7f', '\x80', '\xff'};
  std::vector<char> bytes((width + 7) / 8 * 8);
  for (char& byte : bytes) byte = static_cast<char>(random());
  const unsigned int used = static_cast<unsigned int>(random() % (width + 1));
  std::mt19937_64 pick(random() % distinct);
  for (unsigned int i = 0; i < width; ++i) bytes[i] = i < used ? alphabet[pick() % 8] : ' ';
  std::memcpy(field, bytes.data(), bytes.size());
}

struct DataSetShape {
  unsigned int minUnits = 1;
  unsigned int maxUnits = 40;
  unsigned int minKeys = 0;
  unsigned int maxKeys = 4;
  unsigned int maxWidth = 40;
  unsigned int distinct = 6;  // small: heavy ties
  // For the model (Model.h): every column a key once, in any order, and NaN
  // columns that hold other numbers too, which makes the order intransitive.
  bool allKeys = false;
};

// A random layout, keys in any row order (some repeated) and `rows` rows.
inline DataSet RandomDataSet(std::mt19937_64& random, std::size_t rows,
                             const DataSetShape& shape = DataSetShape()) {
  struct Column {
    unsigned int position, width;
    bool nan;
  };
  std::vector<Column> columns;
  DataSet set;
  const unsigned int target =
      shape.minUnits + static_cast<unsigned int>(random() % (shape.maxUnits - shape.minUnits + 1));
  while (set.units < target) {
    unsigned int width = random() % 3 == 0 ? 1 + random() % shape.maxWidth : 0;
    if (set.units + (width + 7) / 8 > target) width = std::min(width, 8u);
    columns.push_back({set.units, width, width == 0 && random() % (shape.allKeys ? 2 : 5) == 0});
    set.units += width <= 8 ? 1 : (width + 7) / 8;
  }
  auto keys = shape.allKeys ? columns.size()
                            : shape.minKeys + random() % (shape.maxKeys - shape.minKeys + 1);
  for (std::size_t k = 0; k < keys; ++k) {
    const Column& column = shape.allKeys ? columns[k] : columns[random() % columns.size()];
    set.keys.push_back({column.position, random() % 2 == 0 ? 1 : -1, column.width});
  }
  if (shape.allKeys) std::shuffle(set.keys.begin(), set.keys.end(), random);
  set.rows.resize(rows * set.units);
  for (std::size_t r = 0; r < rows; ++r) {
    for (const Column& column : columns) {
      OBS* field = set.rows.data() + r * set.units + column.position;
      if (column.width != 0) {
        RandomString(random, column.width, shape.distinct, field);
      } else {  // for the model, a NaN column's NaNs lie among other numbers
        *field = RandomNumber(random, shape.distinct,
                              column.nan && !(shape.allKeys && random() % 2));
      }
    }
  }
  return set;
}

// Numbers compare as doubles (a NaN ties), strings as unsigned bytes.
inline int CompareByKeys(const std::vector<FileSort::SortKey>& keys, const OBS* a,
                         const OBS* b) {
  for (const FileSort::SortKey& key : keys) {
    const double x = a[key.position], y = b[key.position];
    const int result = key.width != 0 ? std::memcmp(a + key.position, b + key.position, key.width)
                                      : (x < y ? -1 : (y < x ? 1 : 0));
    if (result != 0) return result < 0 ? -key.direction : key.direction;
  }
  return 0;
}

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

// The first row at which two row sequences differ in any bit, or -1.
inline long FirstDifference(const std::vector<OBS>& expected, const std::vector<OBS>& actual,
                            unsigned int units) {
  const std::size_t common = std::min(expected.size(), actual.size()) / units;
  std::size_t r = 0;
  while (r < common && !std::memcmp(&expected[r * units], &actual[r * units], units * 8)) ++r;
  return r == common && expected.size() == actual.size() ? -1 : static_cast<long>(r);
}

}  // namespace isort::testing
