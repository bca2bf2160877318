// The in-memory sort of one batch, on the records the engine sorts for W1
// (key c2, key c3 descending, tag) and W2 (a 16-byte string, a number
// descending, tag): the record quicksort against SortBatch, which radix sorts
// such batches, insertion sorts them when few records are out of place, or
// finds them already in order. 4.7 million records is the size of W1's
// batches in the default budget.
//
// Each iteration sorts a fresh copy of the batch (the copy is not timed); a
// result that differs from the quicksort's fails the benchmark.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "Arrival.h"
#include "FileSort/RadixSort.h"
#include "FileSort/RecordSort.h"
#include "workloads/Workloads.h"

namespace {

using isort::workloads::Workload;

using isort::bench::Arrival;

// The batch's records: the workload's key fields in key order, then the tag.
struct Batch {
  Batch(Workload workload, std::size_t rows, Arrival arrival)
      : comparator(Keys(workload)), order(comparator), words(comparator.Keys()) {
    const auto& layout = isort::workloads::LayoutOf(workload);
    std::vector<OBS> row(layout.units);
    isort::workloads::Generator generator(workload, rows);
    while (generator.Next(row.data())) {
      for (const auto& key : layout.keys) {
        const unsigned int units = key.width <= 8 ? 1 : (key.width + 7) / 8;
        records.insert(records.end(), row.begin() + key.position,
                       row.begin() + key.position + units);
      }
      const std::uint64_t tag = records.size();  // grows with the input
      OBS unit;
      std::memcpy(&unit, &tag, sizeof unit);
      records.push_back(unit);
    }
    width = records.size() / rows;
    sorted = records;
    isort::SortRecords(sorted.data(), rows, width, &comparator);
    if (arrival != Arrival::kGenerated) records = sorted;
    if (arrival == Arrival::kNearlySorted) {
      isort::bench::ForEachNearlySortedSwap(rows, [&](std::uint64_t r) {
        std::swap_ranges(records.begin() + r * width, records.begin() + (r + 1) * width,
                         records.begin() + (r + 1) * width);
      });
    }
  }

  static std::vector<FileSort::SortKey> Keys(Workload workload) {
    std::vector<FileSort::SortKey> keys;
    unsigned int unit = 0;
    for (const auto& key : isort::workloads::LayoutOf(workload).keys) {
      keys.push_back({unit, key.direction, key.width});
      unit += key.width <= 8 ? 1 : (key.width + 7) / 8;
    }
    return keys;
  }

  std::size_t Rows() const { return records.size() / width; }

  FileSort::Comparator comparator;
  isort::RecordOrder order;
  isort::KeyWords words;
  std::vector<OBS> records;
  std::vector<OBS> sorted;
  std::size_t width = 0;
};

template <typename Sort>
void Measure(benchmark::State& state, Workload workload, Arrival arrival, Sort sort) {
  const Batch batch(workload, static_cast<std::size_t>(state.range(0)), arrival);
  std::vector<OBS> work;
  for (auto _ : state) {
    state.PauseTiming();
    work = batch.records;
    state.ResumeTiming();
    sort(batch, work.data());
  }
  if (std::memcmp(work.data(), batch.sorted.data(), work.size() * sizeof(OBS)) != 0) {
    state.SkipWithError("the sort's result differs from the record quicksort's");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(batch.Rows()));
}

void Quicksort(const Batch& batch, OBS* records) {
  isort::SortRecords(records, batch.Rows(), batch.width, &batch.comparator);
}

void SortBatch(const Batch& batch, OBS* records) {
  isort::SortBatch(records, batch.Rows(), batch.width, batch.comparator, batch.order,
                   batch.words);
}

// The radix sort bucket by bucket on two threads, as for the batch that
// ends an input (there, one of them also hands the sorted rows on).
void SteppedSort(const Batch& batch, OBS* records) {
  isort::SteppedRadixSort steps(records, batch.Rows(), batch.width, batch.words, batch.order);
  std::thread helper([&steps] { steps.SortTheRest(); });
  steps.WaitForSorted(batch.Rows());
  helper.join();
}

// The radix sort alone, which SortBatch would run without its other paths.
void RadixSort(const Batch& batch, OBS* records) {
  isort::RadixSortRecords(records, batch.Rows(), batch.width, batch.words, batch.order);
}

constexpr Arrival kGenerated = Arrival::kGenerated;
void BM_W1_Quicksort(benchmark::State& state) { Measure(state, Workload::W1, kGenerated, Quicksort); }
void BM_W1_SortBatch(benchmark::State& state) { Measure(state, Workload::W1, kGenerated, SortBatch); }
void BM_W1_SteppedSort(benchmark::State& state) {
  Measure(state, Workload::W1, kGenerated, SteppedSort);
}
void BM_W1_SortBatch_Presorted(benchmark::State& state) {
  Measure(state, Workload::W1, Arrival::kPresorted, SortBatch);
}
void BM_W1_SortBatch_NearlySorted(benchmark::State& state) {
  Measure(state, Workload::W1, Arrival::kNearlySorted, SortBatch);
}
void BM_W1_RadixSort_NearlySorted(benchmark::State& state) {
  Measure(state, Workload::W1, Arrival::kNearlySorted, RadixSort);
}
void BM_W2_Quicksort(benchmark::State& state) { Measure(state, Workload::W2, kGenerated, Quicksort); }
void BM_W2_SortBatch(benchmark::State& state) { Measure(state, Workload::W2, kGenerated, SortBatch); }

BENCHMARK(BM_W1_Quicksort)->Arg(4700000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_W1_SortBatch)->Arg(4700000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_W1_SteppedSort)->Arg(4700000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_W1_SortBatch_Presorted)->Arg(4700000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_W1_SortBatch_NearlySorted)->Arg(4700000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_W1_RadixSort_NearlySorted)->Arg(4700000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_W2_Quicksort)->Arg(1500000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_W2_SortBatch)->Arg(1500000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
