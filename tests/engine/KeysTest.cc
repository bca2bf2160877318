// The ordering of key parts and the split of rows into key part and payload.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "FileSort/Comparator.h"
#include "FileSort/Splitter.h"

namespace {

using Key = FileSort::SortKey;

OBS Tag(std::uint64_t value) {
  OBS unit;
  std::memcpy(&unit, &value, sizeof unit);
  return unit;
}

OBS Text(const char* eightBytes) {
  OBS unit;
  std::memcpy(&unit, eightBytes, sizeof unit);
  return unit;
}

int Sign(int value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

TEST(Comparator, NumericKeysCompareAsDoubles) {
  const FileSort::Comparator compare({{0, 1, 0}});
  auto cmp = [&compare](double a, double b) {
    const OBS x[] = {a, Tag(5)};
    const OBS y[] = {b, Tag(5)};
    return Sign(compare(x, y));
  };
  EXPECT_EQ(cmp(1.0, 2.0), -1);
  EXPECT_EQ(cmp(2.0, 1.0), 1);
  EXPECT_EQ(cmp(-DBL_MAX, -1e300), -1);  // the system-missing value sorts lowest
  EXPECT_EQ(cmp(-0.0, 0.0), 0);           // equal, so the tags decide
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(cmp(nan, 1.0), 0);
  EXPECT_EQ(cmp(-1e300, nan), 0);
  EXPECT_EQ(cmp(nan, nan), 0);
}

TEST(Comparator, DescendingKeysNegateAndLaterKeysBreakTies) {
  const FileSort::Comparator compare({{0, -1, 0}, {1, 1, 3}});
  const OBS a[] = {1.0, Text("abcXXXXX"), Tag(1)};
  const OBS b[] = {2.0, Text("abaYYYYY"), Tag(0)};
  const OBS c[] = {1.0, Text("abdZZZZZ"), Tag(0)};
  const OBS d[] = {1.0, Text("abc-----"), Tag(0)};
  EXPECT_GT(compare(a, b), 0);  // 1 after 2 when descending
  EXPECT_LT(compare(a, c), 0);  // key 1 ties: "abc" before "abd"
  EXPECT_GT(compare(a, d), 0);  // both keys tie (bytes past the width ignored): tag 1 after 0
  // A descending string key negates the collator's result.
  const FileSort::Comparator reverse({{0, -1, 8}});
  const OBS e[] = {Text("b       "), Tag(0)};
  const OBS f[] = {Text("a       "), Tag(1)};
  EXPECT_LT(reverse(e, f), 0);
}

TEST(Comparator, FieldsAreSteppedByTheirKeyUnits) {
  // A width-9 string takes two units: the numeric key after it lies 16 bytes on.
  const FileSort::Comparator compare({{0, 1, 9}, {2, 1, 0}});
  OBS a[] = {Text("same str"), Text("gAAAAAAA"), 3.0, Tag(0)};
  OBS b[] = {Text("same str"), Text("gBBBBBBB"), 4.0, Tag(1)};
  EXPECT_LT(compare(a, b), 0);
  a[2] = 5.0;
  EXPECT_GT(compare(a, b), 0);
  // Byte 9 belongs to the key and decides before the numeric key.
  b[1] = Text("aBBBBBBB");
  EXPECT_LT(compare(b, a), 0);
}

TEST(Comparator, TiesFallToTheTagsLow32BitsWithWrapAround) {
  const FileSort::Comparator noKeys({});
  const OBS a[] = {Tag(7)};
  const OBS b[] = {Tag(9)};
  const OBS c[] = {Tag((std::uint64_t{1} << 32) | 7)};  // upper half ignored
  EXPECT_LT(noKeys(a, b), 0);
  EXPECT_GT(noKeys(b, a), 0);
  EXPECT_EQ(noKeys(a, c), 0);
  const OBS big[] = {Tag(0x80000005)};
  const OBS small[] = {Tag(0x00000004)};
  // 0x80000005 - 4 = 0x80000001: negative as a 32-bit difference.
  EXPECT_LT(noKeys(big, small), 0);
}

TEST(Keys, PlacedKeysDropRepeatsAndRejectWhatCannotBeSorted) {
  // Same variable ascending then descending: one field.
  auto placed = isort::PlacedKeys({{2, 1, 0}, {2, -1, 0}, {0, 1, 0}}, 3);
  ASSERT_EQ(placed.size(), 2u);
  EXPECT_EQ(placed[0].position, 2u);
  EXPECT_EQ(placed[1].position, 0u);
  EXPECT_THROW(isort::PlacedKeys({{3, 1, 0}}, 3), std::invalid_argument);
  EXPECT_THROW(isort::PlacedKeys({{2, 1, 9}}, 3), std::invalid_argument);
  EXPECT_THROW(isort::PlacedKeys({{0, 1, 0xFFFFFFFFu}}, 3), std::invalid_argument);
  EXPECT_THROW(isort::PlacedKeys({{0xFFFFFFFFu, 1, 0}}, 3), std::invalid_argument);
  EXPECT_THROW(isort::PlacedKeys({{1, 1, 0}, {0, 1, 9}}, 3), std::invalid_argument);
  std::size_t faulty = 99;
  EXPECT_EQ(isort::FindKeyFault({{0, 1, 0}, {1, 1, 0}, {0, 1, 16}}, 3, &faulty),
            isort::KeyFault::kNone);  // key 3 starts on key 1's unit: a repeat
  EXPECT_EQ(isort::FindKeyFault({{0, 1, 0}, {2, 1, 0}, {1, 1, 16}}, 3, &faulty),
            isort::KeyFault::kOverlap);
  EXPECT_EQ(faulty, 2u);
}

TEST(Splitter, PlansFollowKeyOrderAndCoalesceTheRest) {
  // Row of 10 units; a numeric key at 7, then a width-12 string at 2.
  const FileSort::Splitter splitter({{7, 1, 0}, {2, 1, 12}}, 10);
  EXPECT_EQ(splitter.keyUnits, 3u);
  EXPECT_EQ(splitter.payloadUnits, 7u);
  ASSERT_EQ(splitter.keyPlan.size(), 2u);
  EXPECT_EQ(splitter.keyPlan[0].position, 7u);
  EXPECT_EQ(splitter.keyPlan[1].position, 2u);
  EXPECT_EQ(splitter.keyPlan[1].count, 2u);
  ASSERT_EQ(splitter.payloadPlan.size(), 3u);
  EXPECT_EQ(splitter.payloadPlan[1].position, 4u);
  EXPECT_EQ(splitter.payloadPlan[1].count, 3u);

  OBS row[10];
  for (int u = 0; u < 10; ++u) row[u] = u;
  OBS key[3];
  OBS payload[7];
  splitter.Split(row, key, payload);
  EXPECT_EQ(std::vector<OBS>(key, key + 3), (std::vector<OBS>{7, 2, 3}));
  EXPECT_EQ(std::vector<OBS>(payload, payload + 7), (std::vector<OBS>{0, 1, 4, 5, 6, 8, 9}));
  OBS back[10] = {};
  splitter.Join(key, payload, back);
  EXPECT_EQ(std::memcmp(row, back, sizeof row), 0);
}

TEST(Splitter, EdgeLayouts) {
  const FileSort::Splitter none({}, 4);
  EXPECT_EQ(none.keyUnits, 0u);
  ASSERT_EQ(none.payloadPlan.size(), 1u);
  EXPECT_EQ(none.payloadPlan[0].count, 4u);

  const FileSort::Splitter all({{1, 1, 0}, {0, -1, 0}}, 2);
  EXPECT_EQ(all.payloadUnits, 0u);
  EXPECT_TRUE(all.payloadPlan.empty());
  EXPECT_EQ(all.keyPlan.size(), 2u);  // adjacent keys keep their own blocks

  const FileSort::Splitter repeated({{1, 1, 0}, {1, -1, 0}}, 3);
  EXPECT_EQ(repeated.keyPlan.size(), 1u);
  EXPECT_EQ(repeated.payloadPlan.size(), 2u);
}

TEST(Splitter, SplitThenJoinRestoresRandomRows) {
  std::mt19937_64 random(12);
  for (int round = 0; round < 200; ++round) {
    const unsigned int units = 1 + random() % 30;
    std::vector<Key> keys;
    std::vector<bool> used(units, false);
    for (int k = 0; k < 5; ++k) {
      const unsigned int position = random() % units;
      const unsigned int width = random() % 2 ? 0 : 1 + random() % 24;
      const unsigned int span = width <= 8 ? 1 : (width + 7) / 8;
      if (position + span > units) continue;
      bool free = true;
      for (unsigned int u = position; u < position + span; ++u) free = free && !used[u];
      if (!free) continue;
      for (unsigned int u = position; u < position + span; ++u) used[u] = true;
      keys.push_back({position, 1, width});
    }
    const FileSort::Splitter splitter(keys, units);
    std::vector<OBS> row(units), key(splitter.keyUnits), payload(splitter.payloadUnits), back(units);
    for (OBS& unit : row) unit = Tag(random());
    splitter.Split(row.data(), key.data(), payload.data());
    splitter.Join(key.data(), payload.data(), back.data());
    ASSERT_EQ(std::memcmp(row.data(), back.data(), units * sizeof(OBS)), 0) << round;
  }
}

}  // namespace
