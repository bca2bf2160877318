// sortfile_ through the shared library as a host links it: order against the
// oracle, the key array and callback results as a host may pass them, the
// arguments it clears and contract checks. Exported names: tests/records;
// failures: tests/faults.
#include <gtest/gtest.h>

#include <string>

#include "Host.h"
#include "TempDir.h"
#include "isort/SortFileSorter.h"

namespace isort::testing {
namespace {

// Direction entries count on all 64 bits (any value > 0 ascends: 2^32 does,
// INT64_MIN + 1 does not); position and width entries on their low 32, so in
// odd rounds their high halves hold garbage. The get callback's result counts
// on its low 32 bits, the put callback's on all 64: 2^32 from get delivers the
// row, from put refuses it. A row that get does not deliver ends the input; a
// refused row stops the sort. Each round returns one result at a random row.
TEST(SortFile, MatchesOracleWhateverTheHostPasses) {
  WorkDir dir;
  std::mt19937_64 random(31);
  DataSetShape shape;
  shape.minKeys = 1;
  const SI high = SI{1} << 32;
  static const SI codes[2][4] = {{0, -1, INT64_MIN + 1, 5 - high}, {1, 7, high, high + INT32_MIN}};
  const struct {
    INTEGER result;
    bool getDelivers, putTakes;
  } results[] = {{0, true, true},          {high, true, false},     {INT64_MIN, true, false},
                 {-high, true, false},     {1, false, false},       {-1, false, false},
                 {high + 1, false, false}, {INT32_MIN, false, false}};
  for (int round = 0; round < 80; ++round) {
    const DataSet set = RandomDataSet(random, round < 3 ? round : random() % 500, shape);
    const std::size_t n = set.keys.size(), rows = set.RowCount(), at = random() % (rows + 1);
    std::vector<SI> directions;
    for (const auto& key : set.keys) directions.push_back(codes[key.direction > 0][random() % 4]);
    Host host(set, directions);
    for (std::size_t k = 0; k < n && round % 2 == 1; ++k) {
      host.keys[k] ^= static_cast<SI>(random() << 32);
      host.keys[2 * n + k] ^= static_cast<SI>(random() << 32);
    }
    const auto& c = results[round % 8];
    const bool put = round / 8 % 2, counts = put ? c.putTakes : c.getDelivers;
    (put ? host.putResultAt : host.getResultAt) = at;
    (put ? host.putResult : host.getResult) = c.result;
    SCOPED_TRACE(::testing::Message() << "round " << round << ": " << c.result << " from "
                                      << (put ? "put" : "get") << " at " << at);
    bool refused = false;
    try {
      EXPECT_EQ(host.Sort(), 0);
    } catch (const SortFileSorter::Error&) {
      refused = true;
    }
    EXPECT_EQ(refused, put && !counts && at < rows);
    EXPECT_TRUE(refused || (host.flag10 == 0 && host.count11 == 0));
    // Get: the rows it delivered, sorted; put: the sorted rows it took.
    DataSet read = set;
    read.rows.resize((counts || put ? rows : at) * set.units);
    std::vector<OBS> expected = OracleSort(read);
    expected.resize((counts || !put ? read.RowCount() : at) * set.units);
    EXPECT_EQ(FirstDifference(expected, host.output, set.units), -1);
  }
  EXPECT_TRUE(dir.Clean());
}

// Each check names itself; a key list the engine would refuse never reaches it.
TEST(SortFileDeathTest, ContractChecksStopTheProcess) {
  const DataSet set{3, {}, {}};
  Host host(set);
  const std::vector<SI> key = {1, 1, 0}, outside = {3, 1, 9}, overlap = {2, 1, 1, 1, 0, 16};
  const struct { INTEGER nvars, nukeys; const SI* ukeys; const char* expression; }
      cases[] = {{0, 0, key.data(), "nvars"},
                 {3, 0, nullptr, "nukeys"},
                 {3, 1, nullptr, "ukeys"},
                 {3, 1, outside.data(), "key inside row"},  // two units from unit 3 of 3
                 {3, 2, overlap.data(), "keys do not overlap"}};  // unit 2, then 1-2
  const INTEGER zero = 0;
  LOGICAL flag = 0;
  INTEGER count = 0;
  for (const auto& c : cases) {
    EXPECT_DEATH(sortfile_(&host, &Host::Get, &Host::Put, c.nvars, c.ukeys, c.nukeys, zero, zero,
                           zero, flag, count),
                 std::string("backend/isort/sortfile:[0-9]+: .*: Assertion `") + c.expression +
                     "' failed");
  }
}

}  // namespace
}  // namespace isort::testing
