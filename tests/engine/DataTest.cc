// The shared sort state: batch sizing, work files and runs, merge planning.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <memory>
#include <vector>

#include "FileSort/Data.h"
#include "FileSort/Runs.h"
#include "WorkDir.h"
#include "isort/FileSort.h"
#include "isort/platform.h"

namespace {

using isort::testing::WorkDir;

OBS Tag(std::uint64_t value) {
  OBS unit;
  std::memcpy(&unit, &value, sizeof unit);
  return unit;
}

std::uint64_t TagOf(const OBS& unit) {
  std::uint64_t value;
  std::memcpy(&value, &unit, sizeof value);
  return value;
}

// Collects the rows that a merge delivers.
class Collector : public FileSort {
 public:
  Collector() : FileSort({}, 1, nullptr) {}
  const OBS* GetRow() override { return nullptr; }
  void PutRow(const OBS* row) override { rows.emplace_back(row[0], row[1]); }
  std::vector<std::pair<double, double>> rows;
};

TEST(Data, StartsWithTheDefaults) {
  FileSort::Data data({{0, 1, 0}}, 10, nullptr, nullptr);
  EXPECT_EQ(data.memoryTarget, 536870912u);
  EXPECT_EQ(data.threadCount, 1u);
  EXPECT_EQ(data.rowCount, -1);
  EXPECT_TRUE(data.workFiles.empty());
  EXPECT_TRUE(data.sequences.empty());
  EXPECT_FALSE(data.outOfMemory.load());
  EXPECT_FALSE(data.failed.load());
}

TEST(Data, BatchSizeFollowsTheRunningEstimate) {
  FileSort::Data data({{0, 1, 0}}, 10, nullptr, nullptr);  // 1 key unit, 9 payload units
  EXPECT_EQ(data.BatchSize(268435456), 3050402u);          // 72 + 8 + 8 bytes a row
  data.rowsLoaded = 10;
  data.packedBytes = 203;                                   // 20.3 bytes: rounds up to 21
  EXPECT_EQ(data.BatchSize(268435456), 7255012u);          // 21 + 8 + 8 bytes a row
  FileSort::Data keysOnly({{0, 1, 0}, {1, 1, 0}}, 2, nullptr, nullptr);
  EXPECT_EQ(keysOnly.BatchSize(240), 10u);                  // 0 + 16 + 8 bytes a row
}

// Workers may fail at the same moment while others look at the flags (run
// under the thread sanitizer to catch a race).
TEST(Data, FailuresRecordedFromManyThreadsAtOnce) {
  FileSort::Data data({}, 1, nullptr, nullptr);
  std::vector<std::thread> workers;
  std::atomic<int> sawFailure{0};
  std::atomic<int> ready{0};
  for (int t = 0; t < 8; ++t) {
    workers.emplace_back([&data, &sawFailure, &ready, t] {
      ++ready;
      while (ready.load() < 8) std::this_thread::yield();  // start together
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
  data.RecordOutOfMemory();
  EXPECT_TRUE(data.outOfMemory.load());
}

TEST(Data, ClearWorkfilesReleasesSharedFilesOnly) {
  WorkDir dir;
  FileSort::Data data({}, 1, nullptr, nullptr);
  FileSort::WorkFile* files[4];
  for (auto& file : files) file = data.NewWorkFile();
  auto second = std::make_unique<FileSort::WorkFile>(*files[1]);
  auto third = std::make_unique<FileSort::WorkFile>(*files[2]);
  data.ClearWorkfiles();
  ASSERT_EQ(data.workFiles.size(), 2u);
  EXPECT_EQ(data.workFiles[0], files[0]);
  EXPECT_EQ(data.workFiles[1], files[3]);
  EXPECT_FALSE(second->IsShared());  // the second handle lives on alone

  // A shared file that a waiting run lies in keeps Data's handle.
  auto fourth = std::make_unique<FileSort::WorkFile>(*files[3]);
  data.sequences.emplace_back(files[3]);
  data.ClearWorkfiles();
  ASSERT_EQ(data.workFiles.size(), 2u);
  EXPECT_EQ(data.workFiles[1], files[3]);
}

TEST(Runs, TagsSurviveTheRoundTripAndRunsReadIndependently) {
  WorkDir dir;
  FileSort::WorkFile file("sort");
  FileSort::Sequence first(&file);
  for (int i = 0; i < 100; ++i) {
    const OBS key[] = {static_cast<double>(i), 0.0 - 99.0};  // batch 0
    const OBS payload[] = {i * 10.0, Tag(0xFFF8000000000001ull)};
    first.WriteCompressed(key, 2);
    first.WriteCompressed(payload, 2);
  }
  FileSort::Sequence second(&file);
  EXPECT_EQ(second.start, first.end);
  for (int i = 0; i < 50; ++i) {
    const OBS key[] = {static_cast<double>(-i), 250.0 - 99.0};  // batch 250
    const OBS payload[] = {i * 3.0, i * 4.0};
    second.WriteCompressed(key, 2);
    second.WriteCompressed(payload, 2);
  }
  const std::int64_t shared = file.Tell();
  FileSort::SeqReader a(first), b(second);
  a.Rewind();
  b.Rewind();
  a.Allocate(1, 2);
  b.Allocate(1, 2);
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(a.Read());
    EXPECT_EQ(a.key[0], i);
    EXPECT_EQ(TagOf(a.key[1]), 0u);
    EXPECT_EQ(a.payload[0], i * 10.0);
    EXPECT_EQ(TagOf(a.payload[1]), 0xFFF8000000000001ull);
    if (i < 50) {
      ASSERT_TRUE(b.Read());
      EXPECT_EQ(b.key[0], -i);
      EXPECT_EQ(TagOf(b.key[1]), 250u);
      EXPECT_EQ(b.payload[1], i * 4.0);
    }
  }
  EXPECT_FALSE(a.Read());
  EXPECT_FALSE(b.Read());
  EXPECT_EQ(file.Tell(), shared);  // the shared handle did not move

  FileSort::Sequence empty(&file);
  FileSort::SeqReader none(empty);
  none.Rewind();
  none.Allocate(1, 0);
  EXPECT_FALSE(none.Read());
  EXPECT_EQ(none.payload, nullptr);
}

TEST(RunsDeathTest, AKeyGroupWithoutItsPayloadStopsTheProcess) {
  WorkDir dir;
  FileSort::WorkFile file("sort");
  FileSort::Sequence run(&file);
  const OBS key[] = {1.0, -99.0};
  run.WriteCompressed(key, 2);
  FileSort::SeqReader reader(run);
  reader.Rewind();
  reader.Allocate(1, 3);
  EXPECT_DEATH(reader.Read(),
               "backend/isort/FileSort:[0-9]+: bool FileSort::SeqReader::Read\\(\\): "
               "Assertion `more' failed");
}

// Ten runs of equal footprint f beside an output handle of footprint o and a
// budget of 2o + 6f: a final pass could read 6, so the first pass merges the
// 6 front runs, and the second takes the remaining 4 with the first's output.
TEST(Merge, PlansPassesWithinTheBudgetAndKeepsBatchOrder) {
  WorkDir dir;
  Collector owner;
  FileSort::Statistics stats;
  FileSort::Data data({{0, 1, 0}}, 2, &stats, &owner);
  FileSort::WorkFile probe("probe");
  const std::uint64_t f = probe.Footprint();
  data.memoryTarget = 8 * f;
  FileSort::WorkFile* files[] = {data.NewWorkFile(), data.NewWorkFile()};
  // Batch b writes keys b, b + 10, ... and one row of key 1000 with payload b;
  // like the sorters, each new run goes to the front of the queue. Both
  // files hold runs of the first pass and runs that wait for the second.
  for (unsigned int batch = 0; batch < 10; ++batch) {
    data.sequences.emplace_front(files[batch % 2]);
    FileSort::Sequence& run = data.sequences.front();
    const OBS payload[] = {static_cast<double>(batch)};
    for (unsigned int key = batch; key < 1000; key += 10) {
      const OBS record[] = {static_cast<double>(key), batch - 99.0};
      run.WriteCompressed(record, 2);
      run.WriteCompressed(payload, 1);
    }
    const OBS tie[] = {1000.0, batch - 99.0};
    run.WriteCompressed(tie, 2);
    run.WriteCompressed(payload, 1);
  }
  data.Merge();

  ASSERT_EQ(stats.merges.size(), 2u);
  EXPECT_EQ(stats.merges[0].runsMerged, 6u);
  EXPECT_GT(stats.merges[0].outputBytes, 0u);
  EXPECT_EQ(stats.merges[1].runsMerged, 5u);
  EXPECT_EQ(stats.merges[1].outputBytes, 0u);
  EXPECT_TRUE(data.sequences.empty());

  ASSERT_EQ(owner.rows.size(), 1010u);
  for (std::size_t i = 1; i < owner.rows.size(); ++i) {
    ASSERT_LE(owner.rows[i - 1].first, owner.rows[i].first) << i;
    if (owner.rows[i - 1].first == owner.rows[i].first) {
      // Equal keys leave in batch order, whichever pass read them.
      ASSERT_LT(owner.rows[i - 1].second, owner.rows[i].second) << i;
    }
  }
}

// An intermediate pass writes each row's tag back as T - 99, so a row keeps
// its batch ordinal however many passes it goes through.
TEST(Merge, IntermediatePassKeepsEveryRowsTag) {
  WorkDir dir;
  FileSort::Data data({{0, 1, 0}}, 1, nullptr, nullptr);
  FileSort::WorkFile* file = data.NewWorkFile();
  std::deque<FileSort::SeqReader> readers;
  for (unsigned int batch : {0u, 250u, 7u}) {
    FileSort::Sequence run(file);
    for (int key = 0; key < 3; ++key) {
      const OBS record[] = {static_cast<double>(key), batch - 99.0};
      run.WriteCompressed(record, 2);
    }
    readers.emplace_back(run);
    readers.back().Rewind();
  }
  data.sequences.emplace_back(file);  // a run still waits: not the final pass
  FileSort::WorkFile output("merge");
  FileSort::Sequence merged(&output);
  data.DoMerge(readers, merged);

  FileSort::SeqReader reader(merged);
  reader.Rewind();
  reader.Allocate(1, 0);
  const std::vector<std::pair<double, std::uint64_t>> expected = {
      {0, 0}, {0, 7}, {0, 250}, {1, 0}, {1, 7}, {1, 250}, {2, 0}, {2, 7}, {2, 250}};
  for (const auto& row : expected) {
    ASSERT_TRUE(reader.Read());
    EXPECT_EQ(reader.key[0], row.first);
    EXPECT_EQ(TagOf(reader.key[1]), row.second);
  }
  EXPECT_FALSE(reader.Read());
  EXPECT_EQ(merged.Size(), output.Tell());
}

TEST(Merge, EmptyQueueAndEmptyRuns) {
  WorkDir dir;
  Collector owner;
  FileSort::Statistics stats;
  FileSort::Data data({{0, 1, 0}}, 2, &stats, &owner);
  data.Merge();
  EXPECT_TRUE(stats.merges.empty());
  EXPECT_TRUE(owner.rows.empty());

  FileSort::WorkFile* file = data.NewWorkFile();
  data.sequences.emplace_front(file);
  data.sequences.emplace_front(file);
  data.Merge();
  ASSERT_EQ(stats.merges.size(), 1u);
  EXPECT_EQ(stats.merges[0].runsMerged, 2u);
  EXPECT_TRUE(owner.rows.empty());
}

}  // namespace
