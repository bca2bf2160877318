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

TEST(SortRecords, RecordsWithOnlyATagComeOutByTag) {
  std::vector<OBS> records;
  std::mt19937_64 random(22);
  std::vector<std::uint64_t> tags(5000);
  for (std::size_t i = 0; i < tags.size(); ++i) tags[i] = i;
  std::shuffle(tags.begin(), tags.end(), random);
  for (std::uint64_t tag : tags) records.push_back(Tag(tag));
  const FileSort::Comparator compare({});
  isort::SortRecords(records.data(), records.size(), 1, &compare);
  for (std::size_t i = 0; i < records.size(); ++i) ASSERT_EQ(TagOf(&records[i]), i);
}

TEST(SortRecords, WideRecordsMoveWhole) {
  // Records of a width-20 string key (3 units) and a tag: every unit travels
  // with its record.
  std::mt19937_64 random(23);
  const std::size_t n = 3000;
  std::vector<OBS> records(n * 4);
  for (std::size_t i = 0; i < n; ++i) {
    char text[24];
    for (char& c : text) c = static_cast<char>('a' + random() % 3);
    std::memcpy(&records[4 * i], text, 24);
    records[4 * i + 3] = Tag(i);
  }
  std::vector<OBS> original = records;
  const FileSort::Comparator compare({{0, 1, 20}});
  isort::SortRecords(records.data(), n, 4, &compare);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t from = TagOf(&records[4 * i + 3]);
    ASSERT_EQ(std::memcmp(&records[4 * i], &original[4 * from], 32), 0);
    if (i > 0) {
      ASSERT_LE(compare(&records[4 * (i - 1)], &records[4 * i]), 0);
    }
  }
}

}  // namespace
