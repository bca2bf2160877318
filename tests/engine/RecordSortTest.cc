// The in-memory quicksort of records.
#include "FileSort/RecordSort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "FileSort/Comparator.h"

namespace {

OBS Tag(std::uint64_t value) {
  OBS unit;
  std::memcpy(&unit, &value, sizeof unit);
  return unit;
}

std::uint64_t TagOf(const OBS* unit) {
  std::uint64_t value;
  std::memcpy(&value, unit, sizeof value);
  return value;
}

// Records of one numeric key and a tag: key values from `keyOf(i)`, tags i.
std::vector<OBS> MakeRecords(std::size_t n, const std::function<double(std::size_t)>& keyOf) {
  std::vector<OBS> records;
  for (std::size_t i = 0; i < n; ++i) {
    records.push_back(keyOf(i));
    records.push_back(Tag(i));
  }
  return records;
}

// The records after sorting must be (key, tag) in ascending order and a
// permutation of the input.
void ExpectSorted(std::vector<OBS> records, const char* shape) {
  const std::size_t n = records.size() / 2;
  std::vector<std::pair<double, std::uint64_t>> expected;
  for (std::size_t i = 0; i < n; ++i) expected.emplace_back(records[2 * i], TagOf(&records[2 * i + 1]));
  std::sort(expected.begin(), expected.end());
  const FileSort::Comparator compare({{0, 1, 0}});
  isort::SortRecords(records.data(), n, 2, &compare);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(records[2 * i], expected[i].first) << shape << " n=" << n << " at " << i;
    ASSERT_EQ(TagOf(&records[2 * i + 1]), expected[i].second) << shape << " n=" << n << " at " << i;
  }
}

TEST(SortRecords, SortsEveryShapeAndSize) {
  std::mt19937_64 random(21);
  for (std::size_t n : {0, 1, 2, 5, 6, 7, 8, 9, 40, 41, 42, 100, 1000, 50000}) {
    ExpectSorted(MakeRecords(n, [](std::size_t i) { return static_cast<double>(i); }), "sorted");
    ExpectSorted(MakeRecords(n, [n](std::size_t i) { return static_cast<double>(n - i); }),
                 "reversed");
    ExpectSorted(MakeRecords(n, [](std::size_t) { return 1.0; }), "all keys equal");
    ExpectSorted(MakeRecords(n, [n](std::size_t i) { return static_cast<double>(std::min(i, n - i)); }),
                 "organ pipe");
    ExpectSorted(MakeRecords(n, [&random](std::size_t) { return static_cast<double>(random() % 3); }),
                 "three values");
    ExpectSorted(MakeRecords(n, [&random](std::size_t) { return static_cast<double>(random()); }),
                 "random");
  }
}

}  // namespace
