// Throughput of srtfpk_ and srtfup_ on W1 rows, in raw row bytes per second,
// with the plan that srtfva_ makes for W1's keys (one key run of units 2-3,
// payload runs 1 and 4-10), plain and byte-code compressed.
//
// Rows and records are laid out one after another as a host keeps them. Each
// benchmark runs over 2^16 rows (5 MB of rows, cache-warm) and over 2^20 rows
// (80 MB, streaming from memory). The unpacked rows are checked against the
// originals after the timing; a mismatch fails the benchmark.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "isort/sortfile.h"
#include "workloads/Workloads.h"

namespace {

using isort::workloads::Workload;

struct Setup {
  explicit Setup(std::int64_t nRows, bool compressed)
      : rows(static_cast<std::size_t>(nRows)) {
    const auto& layout = isort::workloads::LayoutOf(Workload::W1);
    width = layout.units;
    const std::vector<SI> keys = layout.HostKeys();
    const INTEGER nkeys = static_cast<INTEGER>(layout.keys.size());
    const INTEGER widraw = width;
    const LOGICAL yes = 1;
    map.resize(2 * (2 * layout.keys.size() + 1));
    keylst.resize(3 * layout.keys.size() + 3);
    ok = srtfva_(nkeys, keys.data(), keylst.data(), map.data(), nmap, nkmap, keywid,
                 widraw, yes, yes) == 0;
    flags = compressed ? 1 : 0;
    // Room for the largest record: every unit coded as a literal, plus the
    // control units and the header.
    stride = 2 + width + (width + 7) / 8;
    data.resize(rows * width);
    for (std::size_t i = 0; i < rows; ++i) {
      isort::workloads::GenerateRow(Workload::W1, i, data.data() + i * width);
    }
    records.resize(rows * stride);
    back.resize(rows * width);
  }

  void PackAll() {
    for (std::size_t i = 0; i < rows; ++i) {
      const OBS header = static_cast<OBS>(i);
      srtfpk_(data.data() + i * width, records.data() + i * stride, header, map.data(),
              keylst.data(), nmap, nkmap, flags);
    }
  }

  void UnpackAll() {
    for (std::size_t i = 0; i < rows; ++i) {
      srtfup_(records.data() + i * stride, back.data() + i * width, map.data(),
              keylst.data(), nmap, nkmap, flags);
    }
  }

  // Mean record length over the raw row length.
  double Ratio() const {
    std::uint64_t units = 0;
    for (std::size_t i = 0; i < rows; ++i) {
      INTEGER length;
      std::memcpy(&length, &records[i * stride], sizeof length);
      units += static_cast<std::uint64_t>(length);
    }
    return static_cast<double>(units) / static_cast<double>(rows * width);
  }

  bool RoundTripHolds() const {
    return std::memcmp(back.data(), data.data(), data.size() * sizeof(OBS)) == 0;
  }

  std::size_t rows;
  std::size_t width = 0;
  std::size_t stride = 0;
  std::vector<INTEGER> map, keylst;
  INTEGER nmap = 0, nkmap = 0, keywid = 0, flags = 0;
  std::vector<OBS> data, records, back;
  bool ok = false;
};

void Report(benchmark::State& state, const Setup& setup) {
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(setup.data.size() * sizeof(OBS)));
  state.counters["ratio"] = setup.Ratio();
}

void Pack(benchmark::State& state) {
  Setup setup(state.range(0), state.range(1) != 0);
  if (!setup.ok) return state.SkipWithError("srtfva_ refused W1's keys");
  setup.PackAll();  // first touch of the record pages, outside the timing
  for (auto _ : state) {
    setup.PackAll();
    benchmark::ClobberMemory();
  }
  setup.UnpackAll();
  if (!setup.RoundTripHolds())
    return state.SkipWithError("rows differ after the round trip");
  Report(state, setup);
}

void Unpack(benchmark::State& state) {
  Setup setup(state.range(0), state.range(1) != 0);
  if (!setup.ok) return state.SkipWithError("srtfva_ refused W1's keys");
  setup.PackAll();
  setup.UnpackAll();
  for (auto _ : state) {
    setup.UnpackAll();
    benchmark::ClobberMemory();
  }
  if (!setup.RoundTripHolds())
    return state.SkipWithError("rows differ after the round trip");
  Report(state, setup);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"rows", "compressed"});
  for (std::int64_t rows : {1 << 16, 1 << 20}) {
    for (std::int64_t compressed : {1, 0}) b->Args({rows, compressed});
  }
}

BENCHMARK(Pack)->Apply(Sizes);
BENCHMARK(Unpack)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
