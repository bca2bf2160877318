#include "Demo.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "isort/platform.h"
#include "vorn/Errors.h"
#include "workloads/WorkloadSort.h"

namespace isort::app {
namespace {

using workloads::Layout;

// The workload sort, with progress: reading while rows go in, sorting while
// they come out.
class DemoSort : public workloads::WorkloadSort {
 public:
  DemoSort(const DemoOptions& options, std::uint64_t rows, Statistics* statistics,
           Progress& progress)
      : WorkloadSort(options.workload, rows, statistics), progress_(progress) {}

  const OBS* GetRow() override {
    const OBS* row = WorkloadSort::GetRow();
    progress_.Update(generator.produced());
    return row;
  }

  void PutRow(const OBS* row) override {
    if (checker.taken() == 0) progress_.Start("sorting", generator.rows(), "rows");
    WorkloadSort::PutRow(row);
    progress_.Update(checker.taken());
  }

 private:
  Progress& progress_;
};

double PeakResidentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

}  // namespace

int RunDemo(const DemoOptions& options, Progress& progress) {
  const Layout& layout = workloads::LayoutOf(options.workload);
  const std::uint64_t rows = options.rows != 0 ? options.rows : layout.defaultRows;
  if (options.threads != 0) platform::SetThreadLimit(options.threads);
  const double megabytes = static_cast<double>(rows) * layout.units * 8 / 1e6;
  std::printf("isort demo: %s, %llu rows of %u units (%.0f MB), keys", layout.name,
              static_cast<unsigned long long>(rows), layout.units, megabytes);
  for (const auto& key : layout.keys) {
    std::printf(" c%u%s%s", key.position + 1, key.width != 0 ? " (string)" : "",
                key.direction < 0 ? " descending" : "");
  }
  std::printf("\n");
  std::fflush(stdout);

  FileSort::Statistics stats;
  auto start = std::chrono::steady_clock::now();
  auto end = start;
  bool passed = false;
  std::string failure;
  try {
    DemoSort sort(options, rows, &stats, progress);
    if (options.memory != 0) sort.SetMemoryTarget(options.memory);
    progress.Start("reading", rows, "rows");
    start = std::chrono::steady_clock::now();
    sort.Sort();
    end = std::chrono::steady_clock::now();
    progress.Finish();
    passed = sort.checker.Passed() && sort.checker.checksum() == sort.checker.ExpectedChecksum();
    failure = sort.checker.Failure();
    if (failure.empty() && !passed) failure = "the checksum of the rows differs";
  } catch (const std::bad_alloc&) {
    failure = "out of memory";
  } catch (const ErrorText& error) {
    failure = error.Text();
  }
  progress.Finish();
  const double seconds = std::chrono::duration<double>(end - start).count();

  std::uint64_t workBytes = stats.runBytes;
  for (const auto& pass : stats.merges) workBytes += pass.outputBytes;
  const std::size_t runs = stats.merges.empty() ? 0 : stats.sorts.size();
  std::printf("  rows           %llu\n", static_cast<unsigned long long>(stats.totalRows));
  std::printf("  data           %.0f MB\n", megabytes);
  std::printf("  time           %.2f s\n", seconds);
  std::printf("  rate           %.2f M rows/s, %.0f MB/s\n", rows / seconds / 1e6,
              megabytes / seconds);
  std::printf("  threads        %u\n", stats.threads);
  std::printf("  batches        %zu\n", stats.sorts.size());
  std::printf("  runs written   %zu\n", runs);
  std::printf("  merge passes   %zu\n", stats.merges.size());
  std::printf("  work files     %.0f MB written\n", static_cast<double>(workBytes) / 1e6);
  std::printf("  peak memory    %.0f MiB resident\n", PeakResidentMiB());
  std::printf("  check          %s\n", passed ? "passed: every row once, in order, stable, "
                                                "checksum equal"
                                              : ("FAILED: " + failure).c_str());
  return passed ? 0 : 1;
}

}  // namespace isort::app
