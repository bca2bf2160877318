// Throughput of temporary files in TMPDIR (else /tmp) for several handle
// buffer sizes: sequential writing, sequential reading through a copy, and
// the merge's pattern of many copies reading their runs in turn. Compare
// with dd on the same directory: bench/platform/file_vs_dd.sh.
//
//   temp_file_bench [--benchmark_filter=Write]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "TestHooks.h"
#include "vorn/Streams.h"

namespace {

constexpr std::size_t kFileBytes = std::size_t{1} << 30;  // 1 GiB
constexpr std::size_t kPiece = 512;  // bytes per call, as small writes arrive

std::vector<unsigned char> Piece() {
  std::vector<unsigned char> piece(kPiece);
  for (std::size_t i = 0; i < kPiece; ++i) piece[i] = static_cast<unsigned char>(i * 13);
  return piece;
}

void FillFile(VORN_TempFile& file, const std::vector<unsigned char>& piece) {
  for (std::size_t done = 0; done < kFileBytes; done += kPiece) file.Write(piece.data(), kPiece);
  file.Flush();
}

void SequentialWrite(benchmark::State& state) {
  isort::platform::SetFileBufferSize(static_cast<std::size_t>(state.range(0)));
  const std::vector<unsigned char> piece = Piece();
  for (auto _ : state) {
    auto file = std::make_unique<VORN_TempFile>("sort", true);
    FillFile(*file, piece);
    state.PauseTiming();  // dropping a 1 GiB file from the cache is not writing
    file.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
  isort::platform::SetFileBufferSize(0);
}

void SequentialRead(benchmark::State& state) {
  isort::platform::SetFileBufferSize(static_cast<std::size_t>(state.range(0)));
  const std::vector<unsigned char> piece = Piece();
  VORN_TempFile file("sort", true);
  FillFile(file, piece);
  std::vector<unsigned char> into(kPiece);
  for (auto _ : state) {
    VORN_TempFile reader(file);
    reader.Seek(0, VORN_StrBaseIO::FromStart);
    std::size_t total = 0;
    while (const unsigned long got = reader.Read(into.data(), kPiece)) total += got;
    if (total != kFileBytes) state.SkipWithError("short file");
    benchmark::DoNotOptimize(into.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
  isort::platform::SetFileBufferSize(0);
}

// range(1) runs of one file, each read by its own copy, in turns of one
// piece: how a merge reads.
void InterleavedRead(benchmark::State& state) {
  isort::platform::SetFileBufferSize(static_cast<std::size_t>(state.range(0)));
  const auto runs = static_cast<std::size_t>(state.range(1));
  const std::size_t runBytes = kFileBytes / runs;
  const std::vector<unsigned char> piece = Piece();
  VORN_TempFile file("sort", true);
  FillFile(file, piece);
  std::vector<unsigned char> into(kPiece);
  for (auto _ : state) {
    std::vector<std::unique_ptr<VORN_TempFile>> readers;
    for (std::size_t r = 0; r < runs; ++r) {
      readers.push_back(std::make_unique<VORN_TempFile>(file));
      readers.back()->Seek(static_cast<long>(r * runBytes), VORN_StrBaseIO::FromStart);
    }
    for (std::size_t done = 0; done < runBytes; done += kPiece) {
      for (auto& reader : readers) reader->Read(into.data(), kPiece);
    }
    benchmark::DoNotOptimize(into.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
  isort::platform::SetFileBufferSize(0);
}

void BufferSizes(benchmark::internal::Benchmark* b) {
  for (long size : {16l << 10, 64l << 10, 128l << 10, 256l << 10, 1l << 20, 4l << 20}) {
    b->Arg(size);
  }
}

void BufferSizesAndRuns(benchmark::internal::Benchmark* b) {
  for (long size : {16l << 10, 64l << 10, 128l << 10, 256l << 10, 1l << 20, 4l << 20}) {
    for (long runs : {16l, 256l}) b->Args({size, runs});
  }
}

BENCHMARK(SequentialWrite)->Apply(BufferSizes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(SequentialRead)->Apply(BufferSizes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(InterleavedRead)->Apply(BufferSizesAndRuns)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
