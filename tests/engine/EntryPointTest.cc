// sortfile_ through the shared library as a host links it: order against the
// oracle, the key array and callback results as a host may pass them, the
// arguments it clears, contract checks and exported names. Failures:
// tests/faults.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "Host.h"
#include "WorkDir.h"
#include "isort/SortFileSorter.h"

namespace isort::testing {
namespace {

// Direction entries count on all 64 bits (any value > 0 ascends: 2^32 does,
// INT64_MIN + 1 does not); position and width entries on their low 32, so in
// odd rounds their high halves hold garbage.
TEST(SortFile, MatchesOracle) {
  WorkDir dir;
  std::mt19937_64 random(31);
  DataSetShape shape;
  shape.minKeys = 1;
  const SI high = SI{1} << 32;
  static const SI codes[2][4] = {{0, -1, INT64_MIN + 1, 5 - high}, {1, 7, high, high + INT32_MIN}};
  for (int round = 0; round < 80; ++round) {
    const DataSet set = RandomDataSet(random, round < 3 ? round : random() % 500, shape);
    const std::size_t n = set.keys.size();
    std::vector<SI> directions;
    for (const auto& key : set.keys) directions.push_back(codes[key.direction > 0][random() % 4]);
    Host host(set, directions);
    for (std::size_t k = 0; k < n && round % 2 == 1; ++k) {
      host.keys[k] ^= static_cast<SI>(random() << 32);
      host.keys[2 * n + k] ^= static_cast<SI>(random() << 32);
    }
    EXPECT_EQ(host.Sort(), 0);
    EXPECT_EQ(host.flag10, 0);
    EXPECT_EQ(host.count11, 0);
    EXPECT_EQ(FirstDifference(OracleSort(set), host.output, set.units), -1) << round;
  }
  EXPECT_TRUE(dir.Clean());
}

// The get callback's result counts on its low 32 bits, the put callback's on
// all 64: 2^32 from get delivers the row, from put refuses it. A row that get
// does not deliver ends the input; a refused row stops the sort.
TEST(SortFile, CallbackResults) {
  WorkDir dir;
  std::mt19937_64 random(32);
  const DataSet set = RandomDataSet(random, 300, DataSetShape{1, 8, 1});
  const std::vector<OBS> sorted = OracleSort(set);
  const INTEGER high = INTEGER{1} << 32;
  const struct {
    INTEGER result;
    bool getDelivers, putTakes;
  } cases[] = {{0, true, true},         {high, true, false},      {INT64_MIN, true, false},
               {-high, true, false},    {1, false, false},        {-1, false, false},
               {high + 1, false, false}, {INT32_MIN, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    const std::size_t at = random() % set.RowCount();
    Host get(set);
    get.getResultAt = at;
    get.getResult = c.result;
    EXPECT_EQ(get.Sort(), 0);
    DataSet read = set;
    read.rows.resize((c.getDelivers ? set.RowCount() : at) * set.units);
    EXPECT_EQ(FirstDifference(OracleSort(read), get.output, set.units), -1);

    Host put(set);
    put.putResultAt = at;
    put.putResult = c.result;
    bool refused = false;
    try {
      EXPECT_EQ(put.Sort(), 0);
    } catch (const SortFileSorter::Error&) {
      refused = true;
    }
    EXPECT_EQ(refused, !c.putTakes);
    const std::size_t taken = c.putTakes ? set.RowCount() : at;
    EXPECT_EQ(FirstDifference({sorted.begin(), sorted.begin() + taken * set.units}, put.output,
                              set.units), -1);
  }
  EXPECT_TRUE(dir.Clean());
}

TEST(SortFileDeathTest, ContractChecksStopTheProcess) {
  const DataSet set{3, {}, {}};
  Host host(set);
  const std::string prototype =
      "INTEGER sortfile_\\(void\\*, INTEGER \\(\\*\\)\\(void\\*, OBS\\*, const INTEGER&\\), "
      "INTEGER \\(\\*\\)\\(void\\*, const OBS\\*, const INTEGER&\\), const INTEGER&, const SI\\*, "
      "const INTEGER&, const INTEGER&, const LOGICAL&, const LOGICAL&, LOGICAL&, INTEGER&\\)";
  const std::vector<SI> key = {1, 1, 0}, outside = {3, 1, 9}, overlap = {2, 1, 1, 1, 0, 16};
  const struct { INTEGER nvars, nukeys; const SI* ukeys; int line; const char* expression; }
      cases[] = {{0, 0, key.data(), 108, "nvars"},
                 {3, 0, nullptr, 109, "nukeys"},
                 {3, 1, nullptr, 110, "ukeys"},
                 {3, 1, outside.data(), 111, "key inside row"},  // two units from unit 3 of 3
                 {3, 2, overlap.data(), 112, "keys do not overlap"}};  // unit 2, then 1-2
  const INTEGER zero = 0;
  LOGICAL flag = 0;
  INTEGER count = 0;
  for (const auto& c : cases) {
    EXPECT_DEATH(sortfile_(&host, &Host::Get, &Host::Put, c.nvars, c.ukeys, c.nukeys, zero, zero,
                           zero, flag, count),
                 "backend/isort/sortfile:" + std::to_string(c.line) + ": " + prototype +
                     ": Assertion `" + c.expression + "' failed");
  }
}

TEST(SortFile, EntryPointsAreExportedUnderTheirNames) {
  void* library = dlopen("libisort.so.0", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr) << "the test links libisort";
  for (const char* name : {"sortfile_",
                           // MakeCSortKeys(const SI*, unsigned, std::vector<FileSort::SortKey>&)
                           "_Z13MakeCSortKeysPKljRSt6vectorIN8FileSort7SortKeyESaIS3_EE",
                           "_ZN8FileSort4SortEv", "_ZN8FileSort15SetMemoryTargetEm",
                           "_ZN8FileSort8SetNRowsEx"}) {
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  }
  EXPECT_EQ(dlsym(library, "_ZN8FileSort4Data5MergeEv"), nullptr) << "internal classes stay hidden";
  dlclose(library);
}

}  // namespace
}  // namespace isort::testing
