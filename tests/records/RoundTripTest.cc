// Random rows packed through random plans and unpacked again: the record must
// be the model's, byte for byte, and the row must come back unit for unit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "RecordModel.h"
#include "isort/sortfile.h"

namespace {

using namespace records_test;

struct Planned {
  std::vector<SI> keys;
  INTEGER widraw;
  std::vector<Pair> map;
  INTEGER nkmap;
  std::vector<INTEGER> keylst;
};

// Plans the keys with srtfva_, sizing the map from a first call without FILL
// as a host does.
Planned Plan(std::vector<SI> keys, INTEGER widraw) {
  Planned planned{std::move(keys), widraw, {}, 0, {}};
  const INTEGER nkeys = static_cast<INTEGER>(planned.keys.size() / 3);
  INTEGER nmap = 0, nkmap = 0, keywid = 0;
  const LOGICAL yes = 1, no = 0;
  EXPECT_EQ(srtfva_(nkeys, planned.keys.data(), nullptr, nullptr, nmap, nkmap, keywid,
                    widraw, yes, no),
            0);
  std::vector<INTEGER> map(2 * static_cast<std::size_t>(nmap));
  planned.keylst.resize(3 * static_cast<std::size_t>(nkeys) + 3);
  EXPECT_EQ(srtfva_(nkeys, planned.keys.data(), planned.keylst.data(), map.data(), nmap,
                    nkmap, keywid, widraw, yes, yes),
            0);
  for (INTEGER i = 0; i < nmap; ++i) planned.map.push_back({map[2 * i], map[2 * i + 1]});
  planned.nkmap = nkmap;
  return planned;
}

// String keys whose fields share no unit with another string key's field: the
// trimming of one would otherwise cut into the other's text.
std::vector<SI> RandomKeys(std::mt19937_64& random, INTEGER widraw, std::size_t n,
                           INTEGER maxWidth) {
  std::vector<HostKey> keys;
  std::vector<bool> stringUnit(static_cast<std::size_t>(widraw) + 1, false);
  for (std::size_t attempt = 0; keys.size() < n && attempt < 20 * n; ++attempt) {
    HostKey key{0, random() % 2 ? 1 : -1, 0};
    if (random() % 2) key.width = 1 + static_cast<SI>(random() % maxWidth);
    const INTEGER units = key.width <= 8 ? 1 : (key.width + 7) / 8;
    if (units > widraw) continue;
    key.position = 1 + static_cast<SI>(random() % (widraw - units + 1));
    if (key.width > 0) {
      bool clash = false;
      for (INTEGER u = 0; u < units; ++u) clash = clash || stringUnit[key.position + u];
      if (clash) continue;
      for (INTEGER u = 0; u < units; ++u) stringUnit[key.position + u] = true;
    }
    keys.push_back(key);
  }
  return HostKeys(keys);
}

// A row whose string key fields hold text without NUL bytes, as a host's
// strings do, and whose other units are any values.
Units RandomRow(std::mt19937_64& random, const std::vector<SI>& keys, INTEGER widraw) {
  Units row(static_cast<std::size_t>(widraw));
  for (std::uint64_t& unit : row) unit = RandomNumericUnit(random);
  const std::size_t n = keys.size() / 3;
  for (std::size_t k = 0; k < n; ++k) {
    const SI width = keys[2 * n + k];
    if (width == 0) continue;
    const INTEGER units = width <= 8 ? 1 : (width + 7) / 8;
    for (INTEGER u = 0; u < units; ++u) row[keys[k] - 1 + u] = RandomTextUnit(random);
  }
  return row;
}

void ExpectRoundTrip(const Planned& plan, const Units& row) {
  for (INTEGER flags : {INTEGER{0}, INTEGER{1}}) {
    SCOPED_TRACE(flags ? "compressed" : "plain");
    const std::uint64_t header = row.empty() ? 0 : row[0] ^ 0x5555;
    Units record = PackRecord(row, plan.map, plan.nkmap, flags, plan.keylst, header);
    Units expected = ModelPack(row, plan.map, static_cast<int>(plan.nkmap), flags != 0,
                               header, plan.keylst);
    ASSERT_EQ(record, expected);

    Units back(row.size(), 0xDEADBEEFDEADBEEFu);
    UnpackRecord(record, back, plan.map, plan.nkmap, flags, plan.keylst);
    ASSERT_EQ(back, row);
    // The record's key fields hold their blanks again.
    ModelKeyFields(expected, plan.keylst, false);
    ASSERT_EQ(record, expected);
  }
}

TEST(RoundTrip, RandomRowsThroughRandomPlans) {
  std::mt19937_64 random(2024);
  for (int i = 0; i < 3000; ++i) {
    const INTEGER widraw = 1 + static_cast<INTEGER>(random() % 40);
    const Planned plan = Plan(RandomKeys(random, widraw, random() % 7, 30), widraw);
    SCOPED_TRACE(i);
    for (int r = 0; r < 4; ++r) {
      ExpectRoundTrip(plan, RandomRow(random, plan.keys, widraw));
      if (HasFatalFailure()) return;
    }
  }
}

TEST(RoundTrip, NoKeysAndKeysOnly) {
  std::mt19937_64 random(3);
  const Planned none = Plan({}, 21);
  ASSERT_EQ(none.map.size(), 1u);
  ExpectRoundTrip(none, RandomRow(random, {}, 21));
  const Planned all = Plan(HostKeys({{1, 1, 0}, {2, -1, 0}, {3, 1, 0}}), 3);
  ASSERT_EQ(all.nkmap, 1);
  ASSERT_EQ(all.map.size(), 1u);
  ExpectRoundTrip(all, RandomRow(random, all.keys, 3));
}

// Runs of 999 units are copied here, longer ones by the host's mover: both must
// come back unchanged, as key runs and as payload runs.
TEST(RoundTrip, RunsOf999And1000Units) {
  std::mt19937_64 random(99);
  struct Case {
    std::vector<HostKey> keys;
    INTEGER widraw;
    std::vector<Pair> runs;  // runs that the plan must contain
  };
  const std::vector<Case> cases = {
      {{{1000, 1, 0}}, 2000, {{1000, 1}, {1, 999}, {1001, 1000}}},
      {{{2, 1, 999 * 8}, {2000, -1, 1000 * 8}},
       3100,
       {{2, 999}, {2000, 1000}, {1, 1}, {1001, 999}, {3000, 101}}},
      {{{1, 1, 993 * 8 + 1}, {995, 1, 41}}, 1999, {{1, 1000}, {1001, 999}}},
  };
  for (const Case& c : cases) {
    const Planned plan = Plan(HostKeys(c.keys), c.widraw);
    SCOPED_TRACE(c.widraw);
    for (const Pair& run : c.runs) {
      EXPECT_NE(std::find(plan.map.begin(), plan.map.end(), run), plan.map.end())
          << testing::PrintToString(run);
    }
    for (int r = 0; r < 3; ++r) {
      ExpectRoundTrip(plan, RandomRow(random, plan.keys, c.widraw));
      if (HasFatalFailure()) return;
    }
  }
}

TEST(RoundTrip, LargeRowsWithManyKeys) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 40; ++i) {
    const INTEGER widraw = 500 + static_cast<INTEGER>(random() % 2000);
    const Planned plan =
        Plan(RandomKeys(random, widraw, 1 + random() % 80, 9000), widraw);
    SCOPED_TRACE(i);
    ExpectRoundTrip(plan, RandomRow(random, plan.keys, widraw));
    if (HasFatalFailure()) return;
  }
}

}  // namespace
