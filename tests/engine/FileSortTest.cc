// FileSort end to end against the oracle, over key kinds, thread counts,
// memory budgets and handle footprints, with its statistics.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "Oracle.h"
#include "VectorSort.h"
#include "WorkDir.h"
#include "isort/FileSort.h"
#include "isort/platform.h"

namespace isort::testing {
namespace {

struct SortSetup {
  unsigned int threads = 2;          // what the host allows
  std::uint64_t memoryTarget = 0;    // 0: the default; below the floor for tests
  std::size_t fileBuffer = 0;        // 0: the platform's default
};

// Makes the platform report `threads` allowed threads on 8 cores, and
// restores the machine's values afterwards.
class PlatformSettings {
 public:
  explicit PlatformSettings(const SortSetup& setup) : buffer_(platform::FileBufferSize()) {
    platform::SetThreadLimit(setup.threads);
    platform::SetCoreCount(8);
    if (setup.fileBuffer != 0) platform::SetFileBufferSize(setup.fileBuffer);
  }
  ~PlatformSettings() {
    platform::SetThreadLimit(0);
    platform::SetCoreCount(0);
    platform::SetFileBufferSize(buffer_);
  }

 private:
  std::size_t buffer_;
};

std::vector<OBS> Sort(const DataSet& set, const SortSetup& setup,
                      FileSort::Statistics* statistics = nullptr) {
  PlatformSettings settings(setup);
  VectorSort sort(set, statistics, setup.memoryTarget);
  sort.Sort();
  return sort.output;
}

// A budget that holds about `rows` rows of `set` per batch on each thread.
std::uint64_t BudgetForRows(const DataSet& set, unsigned int threads, std::uint64_t rows) {
  return rows * (set.units + 1) * 8 * std::max(threads, 2u);
}

void ExpectOracleOrder(const DataSet& set, const std::vector<OBS>& actual) {
  const std::vector<OBS> expected = OracleSort(set);
  const long first = FirstDifference(expected, actual, set.units);
  EXPECT_EQ(first, -1) << "rows " << set.RowCount() << ", units " << set.units << ", keys "
                       << set.keys.size() << "; output has " << actual.size() / set.units
                       << " rows";
}

TEST(FileSort, MatchesOracleInOneBatch) {
  WorkDir dir;
  std::mt19937_64 random(1);
  for (int round = 0; round < 60; ++round) {
    const std::size_t rows = round < 4 ? round : random() % 400;
    const DataSet set = RandomDataSet(random, rows);
    SCOPED_TRACE(round);
    ExpectOracleOrder(set, Sort(set, SortSetup{}));
  }
  EXPECT_TRUE(dir.Clean());
}

TEST(FileSort, MatchesOracleAcrossRunsThreadsAndPasses) {
  WorkDir dir;
  std::mt19937_64 random(2);
  for (int round = 0; round < 48; ++round) {
    DataSetShape shape;
    shape.maxUnits = 12;
    const DataSet set = RandomDataSet(random, 200 + random() % 600, shape);
    SortSetup setup;
    setup.threads = 1 + round % 4;
    // From a handful of rows per batch up to a few hundred.
    setup.memoryTarget = BudgetForRows(set, setup.threads, 3 + random() % 200);
    // Small handle buffers let a pass read many runs; large ones (relative
    // to the budget) force merges in several passes.
    setup.fileBuffer = round % 2 == 0 ? 4096 : setup.memoryTarget / 5;
    SCOPED_TRACE(::testing::Message() << "round " << round << ", threads " << setup.threads
                                    << ", budget " << setup.memoryTarget << ", buffer "
                                    << setup.fileBuffer);
    ExpectOracleOrder(set, Sort(set, setup));
    EXPECT_TRUE(dir.Clean());
  }
}

TEST(FileSort, SameOutputWhateverTheThreadCount) {
  std::mt19937_64 random(3);
  DataSetShape shape;
  shape.maxKeys = 1;
  shape.distinct = 2;  // nearly every row ties: the order is all stability
  const DataSet set = RandomDataSet(random, 3000, shape);
  std::vector<OBS> first;
  for (unsigned int threads = 1; threads <= 6; ++threads) {
    SortSetup setup;
    setup.threads = threads;
    setup.memoryTarget = BudgetForRows(set, threads, 97);
    const std::vector<OBS> output = Sort(set, setup);
    if (threads == 1) {
      first = output;
      ExpectOracleOrder(set, output);
    } else {
      EXPECT_EQ(FirstDifference(first, output, set.units), -1) << threads << " threads";
    }
  }
}

// Several host threads sort their own data at the same time, each with runs
// and merges of its own (run under the thread sanitizer too).
TEST(FileSort, SortsOnManyHostThreadsAtOnce) {
  WorkDir dir;
  constexpr int kHosts = 4;
  std::vector<DataSet> sets;
  std::mt19937_64 random(8);
  for (int h = 0; h < kHosts; ++h) sets.push_back(RandomDataSet(random, 1500, DataSetShape()));
  std::vector<std::vector<OBS>> outputs(kHosts);
  std::vector<std::thread> hosts;
  platform::SetThreadLimit(2);
  for (int h = 0; h < kHosts; ++h) {
    hosts.emplace_back([&sets, &outputs, h] {
      VectorSort sort(sets[h], nullptr, BudgetForRows(sets[h], 2, 100));
      sort.Sort();
      outputs[h] = std::move(sort.output);
    });
  }
  for (std::thread& host : hosts) host.join();
  platform::SetThreadLimit(0);
  for (int h = 0; h < kHosts; ++h) ExpectOracleOrder(sets[h], outputs[h]);
  EXPECT_TRUE(dir.Clean());
}

TEST(FileSort, StatisticsFollowBatchesAndPasses) {
  std::mt19937_64 random(4);
  DataSetShape shape;
  shape.minUnits = 6;
  shape.maxUnits = 6;
  const DataSet set = RandomDataSet(random, 5000, shape);

  // One batch: no merge.
  {
    FileSort::Statistics stats;
    Sort(set, SortSetup{}, &stats);
    EXPECT_EQ(stats.totalRows, 5000u);
    EXPECT_EQ(stats.threads, 2u);
    ASSERT_EQ(stats.sorts.size(), 1u);
    EXPECT_EQ(stats.sorts[0].rows, 5000u);
    EXPECT_EQ(stats.sorts[0].memory, 0x20000000u / 2);
    EXPECT_TRUE(stats.merges.empty());
    EXPECT_EQ(stats.runBytes, 0u);
  }
  // Many batches and several passes.
  {
    FileSort::Statistics stats;
    SortSetup setup;
    setup.threads = 3;
    setup.memoryTarget = BudgetForRows(set, 3, 200);
    setup.fileBuffer = setup.memoryTarget / 4;
    Sort(set, setup, &stats);
    EXPECT_EQ(stats.totalRows, 5000u);
    EXPECT_EQ(stats.threads, 3u);
    std::uint64_t rows = 0;
    for (const auto& batch : stats.sorts) {
      EXPECT_GT(batch.rows, 0u);
      EXPECT_LE(batch.rows, batch.batchRows);
      EXPECT_EQ(batch.memory, setup.memoryTarget / 3);
      rows += batch.rows;
    }
    EXPECT_EQ(rows, 5000u);
    EXPECT_GT(stats.sorts.size(), 10u);
    ASSERT_GT(stats.merges.size(), 1u) << "large footprints should force several passes";
    // Every pass but the last writes a run; each pass reduces the waiting
    // runs by its fan-in minus one, and the last takes all that are left.
    std::uint64_t runs = stats.sorts.size();
    for (std::size_t p = 0; p < stats.merges.size(); ++p) {
      const auto& pass = stats.merges[p];
      EXPECT_GE(pass.runsMerged, 2u);
      if (p + 1 == stats.merges.size()) {
        EXPECT_EQ(pass.outputBytes, 0u);
        EXPECT_EQ(pass.runsMerged, runs);
      } else {
        EXPECT_GT(pass.outputBytes, 0u);
        runs -= pass.runsMerged - 1;
      }
    }
    EXPECT_GT(stats.runBytes, 0u);
    EXPECT_EQ(stats.rowBytes, set.units * 8);
  }
}

TEST(FileSort, ThreadChoice) {
  std::mt19937_64 random(5);
  const DataSet set = RandomDataSet(random, 10);
  auto threadsUsed = [&set](unsigned int allowed, unsigned int cores, long long expectedRows) {
    platform::SetThreadLimit(allowed);
    platform::SetCoreCount(cores);
    FileSort::Statistics stats;
    VectorSort sort(set, &stats);
    if (expectedRows != -2) sort.SetNRows(expectedRows);
    sort.Sort();
    platform::SetThreadLimit(0);
    platform::SetCoreCount(0);
    return stats.threads;
  };
  EXPECT_EQ(threadsUsed(1, 8, -1), 2u);    // never fewer than two
  EXPECT_EQ(threadsUsed(16, 8, -1), 8u);   // at most one per core
  EXPECT_EQ(threadsUsed(3, 8, -2), 3u);    // unknown row count by default
  EXPECT_EQ(threadsUsed(4, 8, 1000), 1u);  // known to fit in the budget
  EXPECT_EQ(threadsUsed(4, 8, 0), 1u);
}

TEST(FileSort, MemoryTargetHasAFloor) {
  std::mt19937_64 random(6);
  const DataSet set = RandomDataSet(random, 1);
  VectorSort sort(set, nullptr);
  FileSort::Data& data = FileSortTestAccess::DataOf(sort);
  EXPECT_EQ(data.memoryTarget, 536870912u);
  sort.SetMemoryTarget(1);
  EXPECT_EQ(data.memoryTarget, 536870912u);
  sort.SetMemoryTarget(0);
  EXPECT_EQ(data.memoryTarget, 536870912u);
  sort.SetMemoryTarget(3000000000ul);
  EXPECT_EQ(data.memoryTarget, 3000000000u);
}

TEST(FileSort, RowsWiderThanTheThreadShareStillSort) {
  std::mt19937_64 random(7);
  DataSetShape shape;
  shape.minUnits = 300;
  shape.maxUnits = 300;
  const DataSet set = RandomDataSet(random, 40, shape);
  SortSetup setup;
  setup.memoryTarget = 100;  // far below one row per thread
  FileSort::Statistics stats;
  ExpectOracleOrder(set, Sort(set, setup, &stats));
  EXPECT_EQ(stats.sorts.size(), 40u);  // one row per batch
}

TEST(FileSort, KeysThatCannotBeSortedAreRejected) {
  DataSet set;
  set.units = 4;
  set.keys = {{3, 1, 9}};  // a 2-unit string from unit 3 of 4
  EXPECT_THROW(VectorSort(set, nullptr), std::invalid_argument);
  set.keys = {{1, 1, 0}, {0, 1, 16}};  // starts free, runs into key 1
  EXPECT_THROW(VectorSort(set, nullptr), std::invalid_argument);
  // Keys 2 and 3 start on units that key 1 claims: dropped, not rejected.
  set.keys = {{0, 1, 16}, {1, -1, 0}, {0, -1, 16}};
  VectorSort sort(set, nullptr);
  EXPECT_EQ(FileSortTestAccess::DataOf(sort).comparator.Keys().size(), 1u);
}

}  // namespace
}  // namespace isort::testing
