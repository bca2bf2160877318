// The engine's shared failure record; then FileSort end to end against the
// oracle over key kinds, thread counts, budgets and handle footprints, and the
// figures, batch sizes and thread counts it chooses.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "VectorSort.h"
#include "TempDir.h"
#include "TestHooks.h"
#include "isort/platform.h"

namespace isort::testing {
namespace {

// A sleep in a row source or sink: elapsed time but not CPU time, and long
// against all else that a phase of a few hundred rows does, however slow the
// machine. The time counters count milliseconds.
constexpr int kSleep = 300;
void Sleep() { std::this_thread::sleep_for(std::chrono::milliseconds(kSleep)); }

// Workers may fail at the same moment while others read the flags.
TEST(Data, FailuresRecordedFromManyThreadsAtOnce) {
  FileSort::Data data({}, 1, nullptr, nullptr);
  std::vector<std::thread> workers;
  std::atomic<int> sawFailure{0}, ready{0};
  for (int t = 0; t < 8; ++t) {
    workers.emplace_back([&data, &sawFailure, &ready, t] {
      for (++ready; ready.load() < 8;) std::this_thread::yield();  // start together
      for (int i = 0; i < 2000; ++i) {
        if (data.Failed()) ++sawFailure;
        data.RecordError(ErrorText("worker " + std::to_string(t), ErrorText::kFileWrite, t));
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_TRUE(data.failed.load());
  EXPECT_FALSE(data.outOfMemory.load());
  EXPECT_GT(sawFailure.load(), 0);
  // Whichever failure came last, the record is whole.
  const std::string text = data.errorText.Text();
  ASSERT_EQ(text.rfind("worker ", 0), 0u) << text;
  EXPECT_EQ(std::to_string(data.errorText.Detail()), text.substr(7));
}

// `threads` allowed on 8 cores, and handle buffers of `fileBuffer` bytes (0:
// the default). Every test process sets these before it sorts.
void Configure(unsigned int threads, std::size_t fileBuffer = 0) {
  platform::SetThreadLimit(threads);
  platform::SetCoreCount(8);
  platform::SetFileBufferSize(fileBuffer);
}

// A budget (0: the default) below the clients' floor is set as it is.
std::vector<OBS> Sort(const DataSet& set, unsigned int threads, std::uint64_t budget = 0,
                      std::size_t fileBuffer = 0, FileSort::Statistics* statistics = nullptr) {
  Configure(threads, fileBuffer);
  VectorSort sort(set, statistics, budget);
  sort.Sort();
  return sort.output;
}

// A budget that holds about `rows` rows of `set` per batch on each thread.
std::uint64_t BudgetForRows(const DataSet& set, unsigned int threads, std::uint64_t rows) {
  return rows * (set.units + 1) * 8 * std::max(threads, 2u);
}

// Even rounds sort in one batch; odd ones on 1 to 6 threads in batches of a
// few rows to a few hundred, merged in one pass (small handle buffers) or in
// several (buffers large against the budget). Rounds 0 to 7: 0 to 3 rows. As
// every round must give the one stable order, so must every thread count.
TEST(FileSort, MatchesOracle) {
  WorkDir dir;
  std::mt19937_64 random(1);
  for (int round = 0; round < 110; ++round) {
    const bool runs = round % 2 == 1;
    DataSetShape shape;
    if (runs) shape.maxUnits = 12;
    const std::size_t rows = round < 8 ? round / 2 : (runs ? 200 + random() % 600 : random() % 400);
    DataSet set = RandomDataSet(random, rows, shape);
    // Every fourth sort with runs reads its rows in key order (batches go
    // straight to their runs), every eighth with one row out of place (a
    // batch takes the rows before it back).
    if (runs && round % 4 == 3) set.rows = OracleSort(set);
    if (runs && round % 8 == 7 && set.RowCount() > 1) {
      const std::size_t at = 1 + random() % (set.RowCount() - 1);
      std::swap_ranges(&set.rows[(at - 1) * set.units], &set.rows[at * set.units],
                       &set.rows[at * set.units]);
    }
    const unsigned int threads = runs ? 1 + round / 2 % 6 : 2;
    const std::uint64_t budget = runs ? BudgetForRows(set, threads, 3 + random() % 200) : 0;
    const std::size_t buffer = !runs ? 0 : round % 4 == 1 ? 4096 : budget / 5;
    SCOPED_TRACE(::testing::Message() << "round " << round << ", threads " << threads
                                      << ", budget " << budget << ", buffer " << buffer);
    EXPECT_EQ(FirstDifference(OracleSort(set), Sort(set, threads, budget, buffer), set.units), -1);
    EXPECT_TRUE(dir.Clean());
  }
}

// Each host thread has runs and merges of its own (run under tsan too).
TEST(FileSort, SortsOnManyHostThreadsAtOnce) {
  WorkDir dir;
  std::mt19937_64 random(8);
  std::vector<DataSet> sets;
  for (int h = 0; h < 4; ++h) sets.push_back(RandomDataSet(random, 1500));
  Configure(2);
  std::vector<std::thread> hosts;
  for (const DataSet& set : sets) {
    hosts.emplace_back([&set] {
      VectorSort sort(set, nullptr, BudgetForRows(set, 2, 100));
      sort.Sort();
      EXPECT_EQ(FirstDifference(OracleSort(set), sort.output, set.units), -1);
    });
  }
  for (std::thread& host : hosts) host.join();
  EXPECT_TRUE(dir.Clean());
}

// Rows wider than the thread's share, one to a batch, merged in several
// passes (handle footprints large against the budget): each pass but the last
// writes a run, so it reduces the waiting runs by its fan-in minus one; the
// last takes all that are left. The sink sleeps in the last pass: elapsed time
// of that pass, not CPU time.
TEST(Merge, PassesReduceTheRunsAndTimeTheirOwnPhase) {
  std::mt19937_64 random(10);
  const DataSet set = RandomDataSet(random, 40, {300, 300});
  struct SleepySink : VectorSort {
    using VectorSort::VectorSort;
    void PutRow(const OBS* row) override {
      if (output.empty()) Sleep();
      VectorSort::PutRow(row);
    }
  };
  Configure(2, 4096);
  FileSort::Statistics stats;
  SleepySink sort(set, &stats, 100);
  sort.Sort();
  EXPECT_EQ(FirstDifference(OracleSort(set), sort.output, set.units), -1);
  ASSERT_EQ(stats.sorts.size(), 40u);
  for (const auto& batch : stats.sorts) EXPECT_TRUE(batch.memory == 50 && batch.batchRows == 1);
  ASSERT_GT(stats.merges.size(), 1u);
  std::uint64_t waiting = stats.sorts.size();
  for (const auto& pass : stats.merges) {
    EXPECT_GE(pass.runsMerged, 2u);
    EXPECT_EQ(pass.outputBytes == 0, &pass == &stats.merges.back());
    waiting -= pass.runsMerged - 1;
  }
  EXPECT_EQ(waiting, 1u);
  EXPECT_GE(stats.merges.back().timeB, kSleep);
  EXPECT_LT(stats.merges.back().timeA, kSleep / 2);
}

// One batch in the default budget, sized for uncompressed rows, each with a
// tag unit: as many as fit in the thread's share, and not one more. A sleep in
// the row source or the sink falls into one phase of the batch: each time
// figure must come from its own counter over its own phase.
TEST(FileSort, OneBatchFiguresFollowTheirPhase) {
  std::mt19937_64 random(9);
  const DataSet set = RandomDataSet(random, 100);
  struct SleepySort : VectorSort {
    using VectorSort::VectorSort;
    const OBS* GetRow() override {
      if (inGet && ++gets == 50) Sleep();
      return VectorSort::GetRow();
    }
    void PutRow(const OBS* row) override {
      if (!inGet && ++puts == 50) Sleep();
      VectorSort::PutRow(row);
    }
    bool inGet = false;
    int gets = 0, puts = 0;
  };
  Configure(2);
  for (const bool inGet : {true, false}) {
    SCOPED_TRACE(inGet ? "sleep while loading" : "sleep while delivering");
    FileSort::Statistics stats;
    SleepySort sort(set, &stats);
    sort.inGet = inGet;
    sort.Sort();
    EXPECT_EQ(FirstDifference(OracleSort(set), sort.output, set.units), -1);
    EXPECT_TRUE(stats.totalRows == 100 && stats.threads == 2 && stats.rowBytes == set.units * 8);
    EXPECT_TRUE(stats.merges.empty() && stats.runBytes == 0);
    ASSERT_EQ(stats.sorts.size(), 1u);
    const FileSort::SortStatistics& batch = stats.sorts[0];
    const std::uint64_t rowBytes = (set.units + 1) * 8;
    EXPECT_TRUE(batch.rows == 100 && batch.memory == 0x20000000u / 2);
    EXPECT_LE(batch.batchRows * rowBytes, batch.memory);
    EXPECT_GT((batch.batchRows + 1) * rowBytes, batch.memory);
    // Rows are delivered during run formation.
    const int slept = inGet ? batch.loadTime : batch.writeTime;
    EXPECT_GE(slept, kSleep);
    EXPECT_LT(inGet ? batch.writeTime : batch.loadTime, slept / 2);
    EXPECT_LT(batch.sortTime, slept / 2);
    EXPECT_GE(stats.timeB, slept);     // elapsed
    EXPECT_LT(stats.timeA, slept / 2);  // CPU
  }
}

// One thread when the expected rows, with one unit more each, take fewer bytes
// than the budget: rows of one unit count 16 bytes, so 2^25 fill the default.
TEST(FileSort, ThreadChoice) {
  std::mt19937_64 random(5);
  const DataSet set = RandomDataSet(random, 10, DataSetShape{1, 1});
  // Threads allowed (on 8 cores), expected rows (-2: never set), threads used.
  const long long cases[][3] = {{1, -1, 2},             // never fewer than two
                                {16, -1, 8},            // at most one per core
                                {3, -2, 3},             // the row count is unknown by default
                                {4, (1 << 25) - 1, 1},  // below the budget
                                {4, 1 << 25, 4},        // not below it
                                {4, 0, 1}};
  for (const auto& [allowed, rows, threads] : cases) {
    Configure(static_cast<unsigned int>(allowed));
    FileSort::Statistics stats;
    VectorSort sort(set, &stats);
    if (rows != -2) sort.SetNRows(rows);
    sort.Sort();
    EXPECT_EQ(stats.threads, threads) << allowed << " allowed, rows " << rows;
  }
}

TEST(FileSort, MemoryTargetHasAFloor) {
  const DataSet set{1, {}, {}};
  VectorSort sort(set, nullptr);
  const std::uint64_t& target = sort.State().memoryTarget;
  EXPECT_EQ(target, 536870912u);
  for (unsigned long bytes : {1ul, 3000000000ul, 0ul, 536870913ul}) {
    sort.SetMemoryTarget(bytes);
    EXPECT_EQ(target, std::max(bytes, 536870912ul)) << bytes;
  }
}

TEST(FileSort, KeysThatCannotBeSortedAreRejected) {
  const struct {
    std::vector<FileSort::SortKey> keys;
    unsigned int units;
    std::size_t placed;  // 0: rejected
  } cases[] = {{{{3, 1, 9}}, 4, 0},                        // two units from unit 3 of 4
               {{{0, 1, 0xFFFFFFFFu}}, 3, 0},              // no overflow past the row
               {{{0xFFFFFFFFu, 1, 0}}, 3, 0},
               {{{1, 1, 0}, {0, 1, 16}}, 4, 0},            // starts free, runs into key 1
               {{{0, 1, 16}, {1, -1, 0}, {0, -1, 16}}, 4, 1},  // start on key 1's units: dropped
               {{{2, 1, 0}, {2, -1, 0}, {0, 1, 0}}, 3, 2}};
  for (const auto& c : cases) {
    const DataSet set{c.units, c.keys, {}};
    SCOPED_TRACE(&c - cases);
    if (c.placed == 0) {
      EXPECT_THROW(VectorSort(set, nullptr), std::invalid_argument);
      continue;
    }
    VectorSort sort(set, nullptr);
    const auto& placed = sort.State().comparator.Keys();
    ASSERT_EQ(placed.size(), c.placed);
    EXPECT_EQ(placed[0].direction, c.keys[0].direction);  // the first of a repeat decides
  }
}

}  // namespace
}  // namespace isort::testing
