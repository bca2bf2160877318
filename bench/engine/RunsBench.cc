// A sorter's batch work and the merge's reading, on W1: ProcessBatch of a
// batch of 4.7 million rows (the size of W1's batches in the default budget)
// sorts it and writes it as a run; reading it back row by row is what a merge
// does for each run. Work files live in TMPDIR.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "FileSort/Data.h"
#include "FileSort/Runs.h"
#include "TestHooks.h"
#include "workloads/WorkloadSort.h"

namespace {

using isort::workloads::Workload;

// W1 rows without end, copied out of a buffer of a million of them as a
// host copies its rows (generating each row would cost the loading thread
// more than the sort does); the sink copies each row out, as a host takes
// it into its own buffer. `inOrder` gives each row's
// first key its row number, so that the rows come in key order.
class EndlessW1 : public FileSort {
 public:
  explicit EndlessW1(bool inOrder = false)
      : FileSort(isort::workloads::EngineKeys(Workload::W1), 10, nullptr),
        inOrder_(inOrder),
        rows_(kBufferRows * kUnits),
        row_(kUnits) {
    for (std::uint64_t i = 0; i < kBufferRows; ++i) {
      isort::workloads::GenerateRow(Workload::W1, i, rows_.data() + i * kUnits);
    }
  }
  const OBS* GetRow() override {
    std::copy_n(rows_.data() + next_ % kBufferRows * kUnits, kUnits, row_.data());
    if (inOrder_) row_[keyPosition_] = static_cast<double>(next_);
    ++next_;
    return row_.data();
  }
  void PutRow(const OBS* row) override {
    std::copy_n(row, kUnits, out_.data());
    benchmark::ClobberMemory();
    ++delivered;
  }
  std::uint64_t delivered = 0;

 private:
  static constexpr std::uint64_t kBufferRows = 1000000;
  static constexpr std::size_t kUnits = 10;
  bool inOrder_;
  std::vector<OBS> rows_;
  std::vector<OBS> row_;
  std::vector<OBS> out_ = std::vector<OBS>(kUnits);
  std::size_t keyPosition_ = isort::workloads::LayoutOf(Workload::W1).keys[0].position;
  std::uint64_t next_ = 0;
};

// Shared state as in the middle of a W1 sort on two threads: a batch has
// been loaded before, so batches are sized by the compressed payloads.
struct Sorting {
  explicit Sorting(bool inOrder = false)
      : source(inOrder), data(isort::workloads::EngineKeys(Workload::W1), 10, nullptr, &source) {
    data.threadCount = 2;
    data.rowsLoaded = 1e6;
    data.packedBytes = 32.3e6;
    part.reset(data.MakePart());
  }
  EndlessW1 source;
  FileSort::Data data;
  std::unique_ptr<mtxp::ProblemPartBase> part;
};

// The argument: 1 for the vector group codec (where the processor has it),
// 0 for the portable one.
void BM_ProcessBatch(benchmark::State& state) {
  isort::platform::UseVectorCodec(state.range(0) != 0);
  Sorting sorting;
  for (auto _ : state) {
    state.PauseTiming();
    sorting.part->LoadBatch();
    state.ResumeTiming();
    sorting.part->ProcessBatch();
  }
  if (sorting.data.Failed()) state.SkipWithError("the batch failed");
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(sorting.data.rowsLoaded - 1e6) /
                          std::max<std::int64_t>(1, state.iterations()));
}

// Two parts sorting and writing their batches at once, as in the middle of
// W1's run formation; the time is that of both.
void BM_ProcessTwoBatches(benchmark::State& state) {
  Sorting sorting;
  std::unique_ptr<mtxp::ProblemPartBase> other(sorting.data.MakePart());
  for (auto _ : state) {
    state.PauseTiming();
    sorting.part->LoadBatch();
    other->LoadBatch();
    state.ResumeTiming();
    std::thread helper([&] { other->ProcessBatch(); });
    sorting.part->ProcessBatch();
    helper.join();
  }
  if (sorting.data.Failed()) state.SkipWithError("a batch failed");
}

// Loading a batch, the part of a sort that no two threads do at once.
void BM_LoadBatch(benchmark::State& state) {
  isort::platform::UseVectorCodec(state.range(0) != 0);
  Sorting sorting;
  for (auto _ : state) {
    sorting.part->LoadBatch();
    state.PauseTiming();
    sorting.part->ProcessBatch();
    state.ResumeTiming();
  }
  if (sorting.data.Failed()) state.SkipWithError("the batch failed");
}

// Loading a later batch whose rows come in key order: it goes straight into
// its run as it loads. The argument: the cores the machine reports (1: the
// loading thread writes the rows itself; 2: a helper writes them).
void BM_LoadBatchInOrder(benchmark::State& state) {
  isort::platform::SetCoreCount(static_cast<unsigned int>(state.range(0)));
  Sorting sorting(true);
  sorting.data.batchCount = 1;  // the first batch stays in memory
  for (auto _ : state) sorting.part->LoadBatch();
  if (sorting.data.Failed()) state.SkipWithError("the batch failed");
  state.SetItemsProcessed(static_cast<std::int64_t>(sorting.data.rowsLoaded - 1e6));
}

void BM_ReadRun(benchmark::State& state) {
  isort::platform::UseVectorCodec(state.range(0) != 0);
  Sorting sorting;
  sorting.part->LoadBatch();
  sorting.part->ProcessBatch();
  const FileSort::Sequence run = sorting.data.sequences.front();
  std::uint64_t rows = 0;
  for (auto _ : state) {
    FileSort::SeqReader reader(run);
    reader.Rewind();
    reader.Allocate(sorting.data.splitter.keyUnits, sorting.data.splitter.payloadUnits);
    rows = 0;
    while (reader.Read()) ++rows;
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(rows));
}

// The final merge of three runs of W1 rows (two batches of 4.7 million rows
// and one of 600,000), delivered to the sink. A merge uses its
// runs up, so each run of the benchmark merges once.
void BM_MergeThreeRuns(benchmark::State& state) {
  isort::platform::UseVectorCodec(state.range(0) != 0);
  Sorting sorting;
  for (int batch = 0; batch < 2; ++batch) {
    sorting.part->LoadBatch();
    sorting.part->ProcessBatch();
  }
  sorting.data.packedBytes *= 8;  // the payload limit cuts the third batch short
  sorting.part->LoadBatch();
  sorting.part->ProcessBatch();
  sorting.part.reset();
  for (auto _ : state) sorting.data.Merge();
  state.SetItemsProcessed(static_cast<std::int64_t>(sorting.source.delivered));
}

// The final merge of `state.range(0)` runs of 1.5 million W1 rows each (a
// smaller budget makes the batches), delivered to the sink.
void BM_MergeRuns(benchmark::State& state) {
  Sorting sorting;
  sorting.data.memoryTarget = std::uint64_t{160} << 20;
  for (int batch = 0; batch < state.range(0); ++batch) {
    sorting.part->LoadBatch();
    sorting.part->ProcessBatch();
  }
  sorting.part.reset();
  for (auto _ : state) sorting.data.Merge();
  state.SetItemsProcessed(static_cast<std::int64_t>(sorting.source.delivered));
}

BENCHMARK(BM_ProcessBatch)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProcessTwoBatches)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadBatch)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadBatchInOrder)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadRun)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MergeThreeRuns)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MergeRuns)->Arg(6)->Arg(12)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
