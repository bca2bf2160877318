// sortfile_ through the shared library as a host links it: order against the
// oracle, the arguments it clears, contract checks and exported names.
// Failures: tests/faults.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "Host.h"
#include "WorkDir.h"

namespace isort::testing {
namespace {

TEST(SortFile, MatchesOracle) {
  WorkDir dir;
  std::mt19937_64 random(31);
  DataSetShape shape;
  shape.minKeys = 1;
  for (int round = 0; round < 80; ++round) {
    DataSet set = RandomDataSet(random, round < 3 ? round : random() % 500, shape);
    static const SI codes[2][2] = {{0, -1}, {1, 7}};  // the host's: any value > 0 ascends
    std::vector<SI> directions;
    for (const auto& key : set.keys) directions.push_back(codes[key.direction > 0][random() % 2]);
    Host host(set, directions);
    if (round % 4 == 3) host.stopAfter = random() % (set.RowCount() + 1);
    EXPECT_EQ(host.Sort(), 0);
    EXPECT_EQ(host.flag10, 0);
    EXPECT_EQ(host.count11, 0);
    // A get callback that ends the input early leaves the rows read so far.
    set.rows.resize(std::min(host.stopAfter, set.RowCount()) * set.units);
    EXPECT_EQ(FirstDifference(OracleSort(set), host.output, set.units), -1) << round;
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
