// Throughput of the group codec on the standard workloads, in raw bytes of
// units per second, with the compression ratio (coded bytes / raw bytes) as
// a counter. Shapes: whole rows, and the groups the engine writes: W1's key
// group (c2, c3, run tag) and payload group (c1, c4 .. c10); W2's key group
// (s1, c2, run tag) and payload group (c1, s2, c3 .. c8).
//
//   group_codec_bench [--benchmark_filter=W1]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "vorn/Streams.h"
#include "workloads/Workloads.h"

namespace {

using isort::workloads::Workload;

constexpr std::uint64_t kRows = 200000;  // 16 MB of W1 rows: well beyond the caches
// 320 KB of W1 rows, within the second-level cache: the codec's own cost.
constexpr std::uint64_t kCachedRows = 4000;
constexpr double kRunTag = -98.0;        // the run tag of batch 1

enum class Shape { kRow, kKey, kPayload };

// Units of one group of `shape` taken from `row`.
std::vector<OBS> GroupOf(Workload workload, Shape shape, const OBS* row, unsigned units) {
  if (shape == Shape::kRow) return std::vector<OBS>(row, row + units);
  if (workload == Workload::W1) {
    if (shape == Shape::kKey) return {row[1], row[2], kRunTag};
    std::vector<OBS> payload{row[0]};
    for (unsigned u = 3; u < units; ++u) payload.push_back(row[u]);
    return payload;
  }
  if (shape == Shape::kKey) return {row[1], row[2], row[3], kRunTag};
  std::vector<OBS> payload{row[0]};
  for (unsigned u = 4; u < units; ++u) payload.push_back(row[u]);
  return payload;
}

// `rows` groups of one shape, end to end.
struct Groups {
  std::vector<OBS> units;
  long width = 0;
};

Groups MakeGroups(Workload workload, Shape shape, std::uint64_t rows) {
  const unsigned rowUnits = isort::workloads::LayoutOf(workload).units;
  std::vector<OBS> row(rowUnits);
  Groups groups;
  for (std::uint64_t i = 0; i < rows; ++i) {
    isort::workloads::GenerateRow(workload, i, row.data());
    const std::vector<OBS> group = GroupOf(workload, shape, row.data(), rowUnits);
    groups.width = static_cast<long>(group.size());
    groups.units.insert(groups.units.end(), group.begin(), group.end());
  }
  return groups;
}

void EncodeAll(const Groups& groups, VORN_StrBaseIO& to) {
  const OBS* next = groups.units.data();
  const std::size_t rows = groups.units.size() / static_cast<std::size_t>(groups.width);
  for (std::size_t i = 0; i < rows; ++i, next += groups.width) {
    WriteCompressed(to, next, groups.width);
  }
}

void Report(benchmark::State& state, const Groups& groups, long codedBytes) {
  const auto rawBytes = static_cast<double>(groups.units.size() * sizeof(OBS));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * rawBytes));
  state.counters["ratio"] = static_cast<double>(codedBytes) / rawBytes;
}

void Encode(benchmark::State& state, Workload workload, Shape shape,
             std::uint64_t rows = kRows) {
  const Groups groups = MakeGroups(workload, shape, rows);
  VORN_InMemoryFile store(groups.units.size() * sizeof(OBS));
  EncodeAll(groups, store);  // first touch of the store's pages, outside the timing
  for (auto _ : state) {
    store.Seek(0, VORN_StrBaseIO::FromStart);
    EncodeAll(groups, store);
    benchmark::ClobberMemory();
  }
  Report(state, groups, store.Tell());
}

void Decode(benchmark::State& state, Workload workload, Shape shape,
             std::uint64_t rows = kRows) {
  const Groups groups = MakeGroups(workload, shape, rows);
  VORN_InMemoryFile store(groups.units.size() * sizeof(OBS));
  EncodeAll(groups, store);
  const long coded = store.Tell();
  std::vector<OBS> out(groups.units.size());
  for (auto _ : state) {
    store.Seek(0, VORN_StrBaseIO::FromStart);
    OBS* next = out.data();
    for (std::uint64_t i = 0; i < rows; ++i, next += groups.width) {
      ReadCompressed(store, next, groups.width);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (out != groups.units) state.SkipWithError("decoded units differ");
  Report(state, groups, coded);
}

void Copy(benchmark::State& state, Workload workload, Shape shape,
           std::uint64_t rows = kRows) {
  const Groups groups = MakeGroups(workload, shape, rows);
  VORN_InMemoryFile from(groups.units.size() * sizeof(OBS));
  EncodeAll(groups, from);
  const long coded = from.Tell();
  VORN_InMemoryFile to(static_cast<unsigned long>(coded));
  for (auto _ : state) {
    from.Seek(0, VORN_StrBaseIO::FromStart);
    to.Seek(0, VORN_StrBaseIO::FromStart);
    for (std::uint64_t i = 0; i < rows; ++i) CopyPrecompressed(from, to, groups.width);
    benchmark::ClobberMemory();
  }
  if (to.Tell() != coded) state.SkipWithError("copied a different number of bytes");
  Report(state, groups, coded);
}

#define CODEC_BENCHMARKS(workload, shape)                                                  \
  BENCHMARK_CAPTURE(Encode, workload##_##shape, Workload::workload, Shape::k##shape);     \
  BENCHMARK_CAPTURE(Decode, workload##_##shape, Workload::workload, Shape::k##shape);     \
  BENCHMARK_CAPTURE(Copy, workload##_##shape, Workload::workload, Shape::k##shape)

CODEC_BENCHMARKS(W1, Row);
CODEC_BENCHMARKS(W1, Key);
CODEC_BENCHMARKS(W1, Payload);
CODEC_BENCHMARKS(W2, Row);
CODEC_BENCHMARKS(W2, Key);
CODEC_BENCHMARKS(W2, Payload);
BENCHMARK_CAPTURE(Encode, W1_Key_cached, Workload::W1, Shape::kKey, kCachedRows);
BENCHMARK_CAPTURE(Decode, W1_Key_cached, Workload::W1, Shape::kKey, kCachedRows);
BENCHMARK_CAPTURE(Encode, W1_Payload_cached, Workload::W1, Shape::kPayload, kCachedRows);
BENCHMARK_CAPTURE(Decode, W1_Payload_cached, Workload::W1, Shape::kPayload, kCachedRows);

}  // namespace

BENCHMARK_MAIN();
