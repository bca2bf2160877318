// srtfva_: key validation, the move map, the key field list and the counts.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "RecordModel.h"
#include "isort/sortfile.h"

namespace {

using namespace records_test;

constexpr INTEGER kUnset = -777;

// One call of srtfva_ with output arrays large enough for any plan and filled
// with kUnset, so that what it leaves alone shows.
struct Call {
  Call(std::vector<SI> keys, INTEGER widraw, bool rearr = true, bool fill = true)
      : keys(std::move(keys)),
        keylst(3 * (this->keys.size() / 3) + 3 + 3, kUnset),
        map(2 * (2 * (this->keys.size() / 3) + 1) + 2, kUnset) {
    const INTEGER nkeys = static_cast<INTEGER>(this->keys.size() / 3);
    const LOGICAL r = rearr, f = fill;
    result = srtfva_(nkeys, this->keys.data(), keylst.data(), map.data(), nmap, nkmap,
                     keywid, widraw, r, f);
  }
  std::vector<Pair> Map() const {
    std::vector<Pair> pairs;
    for (INTEGER i = 0; i < nmap; ++i) pairs.push_back({map[2 * i], map[2 * i + 1]});
    return pairs;
  }
  std::vector<INTEGER> KeyList() const {
    return {keylst.begin(),
            keylst.begin() + static_cast<std::ptrdiff_t>(keys.size() + 3)};
  }
  bool MapUntouched() const {
    for (INTEGER v : map)
      if (v != kUnset) return false;
    return true;
  }
  bool KeyListUntouched() const {
    for (INTEGER v : keylst)
      if (v != kUnset) return false;
    return true;
  }

  std::vector<SI> keys;
  std::vector<INTEGER> keylst;
  std::vector<INTEGER> map;
  INTEGER nmap = kUnset, nkmap = kUnset, keywid = kUnset;
  INTEGER result = kUnset;
};

TEST(RecordMap, WorkedExample) {
  const Call call(HostKeys({{7, 1, 0}, {2, -1, 12}, {4, 1, 0}}), 10);
  EXPECT_EQ(call.result, 0);
  EXPECT_EQ(call.keywid, 4);
  EXPECT_EQ(call.nkmap, 2);
  EXPECT_EQ(call.nmap, 5);
  EXPECT_EQ(call.Map(), (std::vector<Pair>{{2, 3}, {7, 1}, {1, 1}, {5, 2}, {8, 3}}));
  EXPECT_EQ(call.KeyList(),
            (std::vector<INTEGER>{4, 0, 1, 1, 12, -1, 3, 0, 1, 1, -1, 1}));
  // Nothing past the map's five pairs and the list's end triple.
  EXPECT_EQ(call.map[10], kUnset);
  EXPECT_EQ(call.keylst[12], kUnset);
}

TEST(RecordMap, EachKindOfInvalidKeyAtEveryIndexIsRefused) {
  const std::vector<HostKey> valid = {{3, 1, 0}, {1, -1, 16}, {8, 1, 8}, {5, -1, 0}};
  const std::vector<HostKey> invalid = {
      {0, 1, 0},                           // position below 1
      {-4, 1, 0}, {11, 1, 0},              // past the row
      {9, 1, 17},                          // a string whose third unit is past the row
      {3, 0, 0},                           // direction neither 1 nor -1
      {3, 2, 0},  {3, -2, 8}, {3, 1, -1},  // negative width
  };
  for (const HostKey& bad : invalid) {
    for (std::size_t index = 0; index < valid.size(); ++index) {
      SCOPED_TRACE(testing::Message() << "key " << index << " (" << bad.position << ", "
                                      << bad.direction << ", " << bad.width << ")");
      std::vector<HostKey> keys = valid;
      keys[index] = bad;
      for (bool fill : {true, false}) {
        for (bool rearr : {true, false}) {
          const Call call(HostKeys(keys), 10, rearr, fill);
          EXPECT_EQ(call.result, 10);
          EXPECT_EQ(call.nmap, 0);
          EXPECT_EQ(call.nkmap, 0);
          EXPECT_EQ(call.keywid, 0);
          EXPECT_TRUE(call.MapUntouched());
          EXPECT_TRUE(call.KeyListUntouched());
        }
      }
    }
  }
  // The same keys made valid pass, so each refusal above is the bad key's.
  EXPECT_EQ(Call(HostKeys(valid), 10).result, 0);
  EXPECT_EQ(Call(HostKeys({{9, 1, 16}}), 10).result, 0);  // ends at the last unit
}

TEST(RecordMap, SeveralInvalidKeysAreRefused) {
  const Call call(HostKeys({{0, 1, 0}, {2, 1, 0}, {3, 5, 0}, {4, 1, -8}}), 10);
  EXPECT_EQ(call.result, 10);
  EXPECT_TRUE(call.MapUntouched());
  EXPECT_TRUE(call.KeyListUntouched());
}

TEST(RecordMap, WithoutFillOnlyTheCountsAreComputed) {
  std::mt19937_64 random(5);
  for (int i = 0; i < 300; ++i) {
    const INTEGER widraw = 1 + static_cast<INTEGER>(random() % 30);
    std::vector<HostKey> keys(random() % 6);
    for (HostKey& key : keys) {
      key.width = random() % 2 ? 0 : static_cast<SI>(random() % 24);
      const INTEGER units = key.width <= 8 ? 1 : (key.width + 7) / 8;
      if (units > widraw) key.width = 0;
      key.position =
          1 + static_cast<SI>(random() % (widraw - (key.width <= 8 ? 1 : units) + 1));
      key.direction = random() % 2 ? 1 : -1;
    }
    SCOPED_TRACE(i);
    const Call filled(HostKeys(keys), widraw, true, true);
    const Call counted(HostKeys(keys), widraw, true, false);
    ASSERT_EQ(filled.result, 0);
    EXPECT_EQ(counted.result, 0);
    EXPECT_EQ(counted.nmap, filled.nmap);
    EXPECT_EQ(counted.nkmap, filled.nkmap);
    EXPECT_EQ(counted.keywid, filled.keywid);
    EXPECT_TRUE(counted.MapUntouched());
    EXPECT_TRUE(counted.KeyListUntouched());
  }
}

TEST(RecordMap, WithoutRearrangingTheListNamesTheKeysInTheRow) {
  const std::vector<SI> keys = HostKeys({{7, 1, 0}, {2, -1, 12}, {4, 1, 0}});
  const Call call(keys, 10, false, true);
  EXPECT_EQ(call.result, 0);
  EXPECT_EQ(call.nmap, 0);
  EXPECT_EQ(call.nkmap, 0);
  EXPECT_EQ(call.keywid, 0);
  EXPECT_EQ(call.KeyList(),
            (std::vector<INTEGER>{7, 0, 1, 2, 12, -1, 4, 0, 1, 1, -1, 1}));
  EXPECT_TRUE(call.MapUntouched());
  const Call counted(keys, 10, false, false);
  EXPECT_EQ(counted.result, 0);
  EXPECT_EQ(counted.nmap, 0);
  EXPECT_TRUE(counted.KeyListUntouched());
  EXPECT_TRUE(counted.MapUntouched());
}

TEST(RecordMap, NoKeysGiveOnePayloadRun) {
  const Call call({}, 6);
  EXPECT_EQ(call.result, 0);
  EXPECT_EQ(call.nkmap, 0);
  EXPECT_EQ(call.keywid, 0);
  EXPECT_EQ(call.Map(), (std::vector<Pair>{{1, 6}}));
  EXPECT_EQ(call.KeyList(), (std::vector<INTEGER>{1, -1, 1}));
  const Call empty({}, 0);
  EXPECT_EQ(empty.nmap, 0);
  EXPECT_TRUE(empty.MapUntouched());
  EXPECT_EQ(empty.KeyList(), (std::vector<INTEGER>{1, -1, 1}));
}

TEST(RecordMap, NegativeKeyCountCountsAsNone) {
  std::vector<SI> keys = {0, 0, 0};  // an invalid key, never looked at
  std::vector<INTEGER> keylst(3, kUnset), map(2, kUnset);
  INTEGER nmap = kUnset, nkmap = kUnset, keywid = kUnset;
  const INTEGER nkeys = -3, widraw = 4;
  const LOGICAL yes = 1;
  EXPECT_EQ(srtfva_(nkeys, keys.data(), keylst.data(), map.data(), nmap, nkmap, keywid,
                    widraw, yes, yes),
            0);
  EXPECT_EQ(nmap, 1);
  EXPECT_EQ(map, (std::vector<INTEGER>{1, 4}));
  EXPECT_EQ(keylst, (std::vector<INTEGER>{1, -1, 1}));
}

TEST(RecordMap, RunsAtTheRowsEdgesLeaveNoPayloadThere) {
  // Key at unit 1: no payload run in front; a key ending at the last unit: none
  // behind.
  const Call call(HostKeys({{9, 1, 12}, {1, -1, 0}, {5, 1, 0}}), 10);
  EXPECT_EQ(call.Map(), (std::vector<Pair>{{1, 1}, {5, 1}, {9, 2}, {2, 3}, {6, 3}}));
  EXPECT_EQ(call.nkmap, 3);
  EXPECT_EQ(call.keywid, 4);
  EXPECT_EQ(call.KeyList(),
            (std::vector<INTEGER>{3, 12, 1, 1, 0, -1, 2, 0, 1, 1, -1, 1}));
  // Keys cover the whole row: no payload at all.
  const Call whole(HostKeys({{1, 1, 24}}), 3);
  EXPECT_EQ(whole.Map(), (std::vector<Pair>{{1, 3}}));
  EXPECT_EQ(whole.nkmap, 1);
  EXPECT_EQ(whole.keywid, 3);
}

TEST(RecordMap, SameUnitTwiceGivesOneRunAndOnePosition) {
  const Call call(HostKeys({{4, 1, 0}, {4, -1, 0}}), 5);
  EXPECT_EQ(call.Map(), (std::vector<Pair>{{4, 1}, {1, 3}, {5, 1}}));
  EXPECT_EQ(call.KeyList(), (std::vector<INTEGER>{1, 0, 1, 1, 0, -1, 1, -1, 1}));
}

TEST(RecordMap, KeysInDescendingRowOrderGiveRunsInRowOrder) {
  const Call call(HostKeys({{9, 1, 0}, {6, 1, 0}, {3, 1, 0}, {2, -1, 0}}), 10);
  EXPECT_EQ(call.Map(),
            (std::vector<Pair>{{2, 2}, {6, 1}, {9, 1}, {1, 1}, {4, 2}, {7, 2}, {10, 1}}));
  EXPECT_EQ(call.KeyList(),
            (std::vector<INTEGER>{4, 0, 1, 3, 0, 1, 2, 0, 1, 1, 0, -1, 1, -1, 1}));
}

TEST(RecordMap, OverlappingStringKeysShareARun) {
  // Width 20 at unit 2 covers 2..4; width 9 at unit 3 covers 3..4 (inside);
  // width 16 at unit 4 covers 4..5 and extends the run.
  const Call call(HostKeys({{2, 1, 20}, {3, 1, 9}, {4, -1, 16}}), 8);
  EXPECT_EQ(call.Map(), (std::vector<Pair>{{2, 4}, {1, 1}, {6, 3}}));
  EXPECT_EQ(call.keywid, 4);
  EXPECT_EQ(call.KeyList(),
            (std::vector<INTEGER>{1, 20, 1, 2, 9, 1, 3, 16, -1, 1, -1, 1}));
}

// The plan against a model built from the units that the keys cover.
void ExpectPlanOfModel(const std::vector<SI>& keys, INTEGER widraw) {
  const Call call(keys, widraw);
  const Plan plan = ModelPlan(keys, widraw);
  ASSERT_EQ(call.result, 0);
  EXPECT_EQ(call.Map(), plan.map);
  EXPECT_EQ(call.nkmap, plan.nkmap);
  EXPECT_EQ(call.keywid, plan.keywid);
  EXPECT_EQ(call.KeyList(), plan.keylst);
}

std::vector<SI> RandomKeys(std::mt19937_64& random, std::size_t n, INTEGER widraw) {
  std::vector<HostKey> keys(n);
  for (HostKey& key : keys) {
    key.width = random() % 3 == 0 ? static_cast<SI>(random() % 40) : 0;
    const INTEGER units = key.width <= 8 ? 1 : (key.width + 7) / 8;
    if (units > widraw) key.width = 0;
    const INTEGER room = widraw - (key.width <= 8 ? 1 : units) + 1;
    key.position = 1 + static_cast<SI>(random() % room);
    key.direction = random() % 2 ? 1 : -1;
  }
  return HostKeys(keys);
}

TEST(RecordMap, RandomKeyArraysAgreeWithTheCoverageModel) {
  std::mt19937_64 random(17);
  for (int i = 0; i < 2000; ++i) {
    const INTEGER widraw = 1 + static_cast<INTEGER>(random() % 40);
    const std::vector<SI> keys = RandomKeys(random, random() % 9, widraw);
    SCOPED_TRACE(i);
    ExpectPlanOfModel(keys, widraw);
    if (HasFatalFailure()) return;
  }
}

// More than 64 keys: the ordering grows with the key count, and the plan is
// that of any other key array.
TEST(RecordMap, MoreThanSixtyFourKeysArePlanned) {
  std::mt19937_64 random(23);
  for (std::size_t n : {64u, 65u, 200u, 1000u}) {
    SCOPED_TRACE(n);
    ExpectPlanOfModel(RandomKeys(random, n, 300), 300);
    ExpectPlanOfModel(RandomKeys(random, n, 5000), 5000);
  }
  // 100 keys in descending row order, each one unit apart: a run per key.
  std::vector<HostKey> spaced;
  for (SI k = 0; k < 100; ++k) spaced.push_back({200 - 2 * k, 1, 0});
  const Call call(HostKeys(spaced), 201);
  EXPECT_EQ(call.result, 0);
  EXPECT_EQ(call.nkmap, 100);
  EXPECT_EQ(call.nmap, 201);
  EXPECT_EQ(call.keylst[0], 100);  // the key at unit 200 is the last of the key part
  EXPECT_EQ(call.map[0], 2);
  ExpectPlanOfModel(HostKeys(spaced), 201);
}

TEST(RecordMap, FailedChecksAreReportedAndTheListStillEnds) {
  // With no keys and a negative row width, no run can reach WIDRAW + 1.
  testing::internal::CaptureStderr();
  const Call call({}, -1);
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_EQ(call.result, 0);
  EXPECT_EQ(call.nmap, 0);
  EXPECT_EQ(call.KeyList(), (std::vector<INTEGER>{1, -1, 1}));
  const std::size_t first = report.find("SRTFVA: NXTIN .EQ. WIDRAW+1\n");
  const std::size_t second = report.find("SRTFVA: OUTPOS .EQ. WIDRAW+1\n");
  EXPECT_NE(first, std::string::npos) << report;
  EXPECT_NE(second, std::string::npos) << report;
  EXPECT_LT(first, second);
  EXPECT_EQ(report.find("JMAP"), std::string::npos) << report;
  // A valid plan reports nothing.
  testing::internal::CaptureStderr();
  const Call fine(HostKeys({{2, 1, 0}}), 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
