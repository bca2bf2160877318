// sortfile_, the host's entry point, through the shared library as a host
// links it: order against the oracle, the arguments it clears, contract
// checks and exported names. Failures: tests/faults.
#include "isort/sortfile.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Oracle.h"
#include "WorkDir.h"
#include "isort/SortFileSorter.h"

namespace isort::testing {
namespace {

// The host side of one sortfile_ call: rows in from a data set (ended early
// at `stopAfter`), rows out into a vector.
struct Host {
  const DataSet* set = nullptr;
  std::size_t next = 0;
  std::size_t stopAfter = SIZE_MAX;
  std::vector<OBS> output;

  static INTEGER Get(void* context, OBS* row, const INTEGER& nvars) {
    Host& host = *static_cast<Host*>(context);
    if (host.next == host.set->RowCount() || host.next == host.stopAfter) return -1;
    std::memcpy(row, host.set->Row(host.next++), static_cast<std::size_t>(nvars) * sizeof(OBS));
    return 0;
  }
  static INTEGER Put(void* context, const OBS* row, const INTEGER& nvars) {
    Host& host = *static_cast<Host*>(context);
    host.output.insert(host.output.end(), row, row + nvars);
    return 0;
  }
};

struct Call {
  INTEGER status = -1;
  LOGICAL flag10 = 77;
  INTEGER count11 = 77;
};

Call SortThroughHost(Host& host, const std::vector<SI>& ukeys, INTEGER nukeys) {
  Call call;
  const INTEGER nvars = host.set->units;
  const INTEGER unused7 = 123456;
  const LOGICAL unused8 = -1, unused9 = 42;
  call.status = sortfile_(&host, &Host::Get, &Host::Put, nvars, ukeys.data(), nukeys, unused7,
                          unused8, unused9, call.flag10, call.count11);
  return call;
}

std::vector<SI> HostDirections(std::mt19937_64& random, const DataSet& set) {
  static const SI choices[] = {1, 0, -1, 7};
  std::vector<SI> directions;
  for (const auto& key : set.keys) {
    SI direction = choices[random() % 4];
    // 0 and negative values mean descending; match the host value to the key.
    if ((direction > 0) != (key.direction > 0)) direction = key.direction > 0 ? 7 : (random() % 2 ? 0 : -1);
    directions.push_back(direction);
  }
  return directions;
}

TEST(SortFile, MatchesOracle) {
  WorkDir dir;
  std::mt19937_64 random(31);
  for (int round = 0; round < 60; ++round) {
    DataSet set = RandomDataSet(random, round < 3 ? round : random() % 500);
    if (set.keys.empty()) set.keys.push_back({0, 1, set.variables[0].width});
    Host host;
    host.set = &set;
    const Call call = SortThroughHost(host, set.HostKeys(HostDirections(random, set)),
                                      static_cast<INTEGER>(set.keys.size()));
    EXPECT_EQ(call.status, 0);
    EXPECT_EQ(call.flag10, 0);
    EXPECT_EQ(call.count11, 0);
    EXPECT_EQ(FirstDifference(OracleSort(set), host.output, set.units), -1) << round;
  }
  EXPECT_TRUE(dir.Clean());
}

TEST(SortFile, GetCallbackEndsTheInputEarly) {
  std::mt19937_64 random(32);
  DataSet set = RandomDataSet(random, 300);
  set.keys = {{0, -1, set.variables[0].width}};
  Host host;
  host.set = &set;
  host.stopAfter = 120;
  const Call call = SortThroughHost(host, set.HostKeys({-1}), 1);
  EXPECT_EQ(call.status, 0);
  DataSet first = set;
  first.rows.resize(120 * set.units);
  EXPECT_EQ(FirstDifference(OracleSort(first), host.output, set.units), -1);
}

TEST(SortFileDeathTest, ContractChecksStopTheProcess) {
  std::mt19937_64 random(35);
  const DataSet set = RandomDataSet(random, 1);
  Host host;
  host.set = &set;
  const std::vector<SI> keys = {1, 1, 0};
  const std::string prototype =
      "INTEGER sortfile_\\(void\\*, INTEGER \\(\\*\\)\\(void\\*, OBS\\*, const INTEGER&\\), "
      "INTEGER \\(\\*\\)\\(void\\*, const OBS\\*, const INTEGER&\\), const INTEGER&, const SI\\*, "
      "const INTEGER&, const INTEGER&, const LOGICAL&, const LOGICAL&, LOGICAL&, INTEGER&\\)";
  auto message = [&prototype](int line, const char* expression) {
    return "backend/isort/sortfile:" + std::to_string(line) + ": " + prototype +
           ": Assertion `" + expression + "' failed";
  };
  const INTEGER zero = 0, one = 1, three = 3;
  LOGICAL flag = 0;
  INTEGER count = 0;
  EXPECT_DEATH(sortfile_(&host, &Host::Get, &Host::Put, zero, keys.data(), zero, zero, zero,
                         zero, flag, count),
               message(108, "nvars"));
  EXPECT_DEATH(sortfile_(&host, &Host::Get, &Host::Put, three, nullptr, zero, zero, zero, zero,
                         flag, count),
               message(109, "nukeys"));
  EXPECT_DEATH(sortfile_(&host, &Host::Get, &Host::Put, three, nullptr, one, zero, zero, zero,
                         flag, count),
               message(110, "ukeys"));
  const std::vector<SI> outside = {3, 1, 9};  // a two-unit string from unit 3 of 3
  EXPECT_DEATH(sortfile_(&host, &Host::Get, &Host::Put, three, outside.data(), one, zero, zero,
                         zero, flag, count),
               message(111, "key inside row"));
  const std::vector<SI> position0 = {0, 1, 0};
  EXPECT_DEATH(sortfile_(&host, &Host::Get, &Host::Put, three, position0.data(), one, zero, zero,
                         zero, flag, count),
               message(111, "key inside row"));
  const std::vector<SI> negativeWidth = {1, 1, -1};
  EXPECT_DEATH(sortfile_(&host, &Host::Get, &Host::Put, three, negativeWidth.data(), one, zero,
                         zero, zero, flag, count),
               message(111, "key inside row"));
  const std::vector<SI> overlap = {2, 1, 1, 1, 0, 16};  // unit 2, then units 1-2
  const INTEGER two = 2;
  EXPECT_DEATH(sortfile_(&host, &Host::Get, &Host::Put, three, overlap.data(), two, zero, zero,
                         zero, flag, count),
               message(112, "keys do not overlap"));
}

TEST(SortFile, EntryPointsAreExportedUnderTheirNames) {
  void* library = dlopen("libisort.so.0", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr) << "the test links libisort";
  EXPECT_NE(dlsym(library, "sortfile_"), nullptr);
  // void MakeCSortKeys(const SI*, unsigned int, std::vector<FileSort::SortKey>&)
  EXPECT_NE(dlsym(library,
                  "_Z13MakeCSortKeysPKljRSt6vectorIN8FileSort7SortKeyESaIS3_EE"),
            nullptr);
  EXPECT_NE(dlsym(library, "_ZN8FileSort4SortEv"), nullptr);
  EXPECT_NE(dlsym(library, "_ZN8FileSort15SetMemoryTargetEm"), nullptr);
  EXPECT_NE(dlsym(library, "_ZN8FileSort8SetNRowsEx"), nullptr);
  // Internal classes stay hidden.
  EXPECT_EQ(dlsym(library, "_ZN8FileSort4Data5MergeEv"), nullptr);
  dlclose(library);
}

}  // namespace
}  // namespace isort::testing
