// End-to-end benchmark: the standard workloads through sortfile_, beside two
// references on the same rows: the copy-through floor (the same callbacks, no
// sort) and std::stable_sort of whole rows in memory.
//
// Each measurement runs in a child process of its own, so that its peak
// resident memory is its own and no measurement warms memory for the next.
//
//   isort_bench_end_to_end [--workloads W1,W2,W3] [--rows N] [--repeat N]
//                          [--skip-stable-sort] [--data FILE]
//
// Timings are the median of --repeat runs (default 3): this machine's
// timings spread by up to a fifth from run to run. --data appends
// "workload,measurement,seconds" lines for the report's chart.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "isort/FileSort.h"
#include "isort/sortfile.h"
#include "workloads/WorkloadSort.h"

namespace {

using isort::workloads::Layout;
using isort::workloads::Workload;

struct Figures {
  double seconds = 0;
  double peakMiB = 0;
  bool passed = false;
  std::uint64_t runBytes = 0;
  std::uint64_t runs = 0;
  std::uint64_t passes = 0;
  unsigned int threads = 0;
};

double PeakResidentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

// Runs `measure` in a child process and returns what it measured.
Figures InChild(const std::function<Figures()>& measure) {
  int channel[2];
  if (pipe(channel) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    Figures figures = measure();
    figures.peakMiB = PeakResidentMiB();
    if (write(channel[1], &figures, sizeof figures) != sizeof figures) _exit(2);
    _exit(0);
  }
  close(channel[1]);
  Figures figures;
  const bool got = read(channel[0], &figures, sizeof figures) == sizeof figures;
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!got) figures = Figures{};
  return figures;
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

using Host = isort::workloads::WorkloadHost;

Figures Floor(Workload workload, std::uint64_t rows) {
  Host host(workload, rows);
  std::vector<OBS> row(isort::workloads::LayoutOf(workload).units);
  const INTEGER nvars = static_cast<INTEGER>(row.size());
  const auto start = std::chrono::steady_clock::now();
  // Rows from one callback straight to the other, in input order: the
  // checker's order test would fail, so only the count is judged.
  while (Host::Get(&host, row.data(), nvars) == 0) Host::Put(&host, row.data(), nvars);
  Figures figures;
  figures.seconds = Since(start);
  figures.passed = host.checker.taken() == rows;
  return figures;
}

Figures ThroughSortfile(Workload workload, std::uint64_t rows) {
  Host host(workload, rows);
  const auto start = std::chrono::steady_clock::now();
  const INTEGER status = host.Sort();
  Figures figures;
  figures.seconds = Since(start);
  figures.passed = status == 0 && host.checker.Passed();
  return figures;
}

Figures Statistics(Workload workload, std::uint64_t rows) {
  FileSort::Statistics stats;
  isort::workloads::WorkloadSort sort(workload, rows, &stats);
  sort.Sort();
  Figures figures;
  figures.passed = stats.totalRows == rows;
  figures.threads = stats.threads;
  figures.runs = stats.merges.empty() ? 0 : stats.sorts.size();
  figures.passes = stats.merges.size();
  figures.runBytes = stats.runBytes;
  for (const auto& pass : stats.merges) figures.runBytes += pass.outputBytes;
  return figures;
}

template <unsigned int kUnits>
Figures StableSortRows(Workload workload, std::uint64_t rows) {
  const Layout& layout = isort::workloads::LayoutOf(workload);
  Host host(workload, rows);
  struct Row {
    OBS units[kUnits];
  };
  const auto start = std::chrono::steady_clock::now();
  std::vector<Row> all(rows);
  for (Row& row : all) Host::Get(&host, row.units, kUnits);
  std::stable_sort(all.begin(), all.end(), [&layout](const Row& a, const Row& b) {
    for (const auto& key : layout.keys) {
      int result;
      if (key.width == 0) {
        const double x = a.units[key.position], y = b.units[key.position];
        result = x < y ? -1 : (y < x ? 1 : 0);
      } else {
        result = std::memcmp(a.units + key.position, b.units + key.position, key.width);
      }
      if (result != 0) return (result < 0) == (key.direction > 0);
    }
    return false;
  });
  for (const Row& row : all) Host::Put(&host, row.units, kUnits);
  Figures figures;
  figures.seconds = Since(start);
  figures.passed = host.checker.Passed();
  return figures;
}

Figures StableSort(Workload workload, std::uint64_t rows) {
  return isort::workloads::LayoutOf(workload).units == 15 ? StableSortRows<15>(workload, rows)
                                                          : StableSortRows<10>(workload, rows);
}

// The run with the median time of `repeat` runs of `measure`, each in a child.
Figures Median(int repeat, const std::function<Figures()>& measure) {
  std::vector<Figures> runs;
  for (int i = 0; i < repeat; ++i) runs.push_back(InChild(measure));
  std::sort(runs.begin(), runs.end(),
            [](const Figures& a, const Figures& b) { return a.seconds < b.seconds; });
  Figures median = runs[runs.size() / 2];
  for (const Figures& run : runs) median.passed = median.passed && run.passed;
  return median;
}

std::vector<Workload> ParseWorkloads(const std::string& list) {
  std::vector<Workload> workloads;
  std::stringstream in(list);
  std::string name;
  while (std::getline(in, name, ',')) {
    Workload workload;
    if (isort::workloads::ParseWorkload(name, &workload)) workloads.push_back(workload);
  }
  return workloads;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Workload> workloads = {Workload::W1, Workload::W2, Workload::W3};
  std::uint64_t rowsOverride = 0;
  bool stableSort = true;
  int repeat = 3;
  std::FILE* data = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--workloads" && i + 1 < argc) workloads = ParseWorkloads(argv[++i]);
    if (arg == "--rows" && i + 1 < argc) rowsOverride = std::stoull(argv[++i]);
    if (arg == "--repeat" && i + 1 < argc) repeat = std::max(1, std::atoi(argv[++i]));
    if (arg == "--skip-stable-sort") stableSort = false;
    if (arg == "--data" && i + 1 < argc) data = std::fopen(argv[++i], "a");
  }

  std::printf("| workload | rows | sort s | floor s | sort / floor | stable_sort s | "
              "stable_sort / sort | rows/s | peak MiB | threads | runs | passes | "
              "work-file MB | check |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n");
  for (Workload workload : workloads) {
    const Layout& layout = isort::workloads::LayoutOf(workload);
    const std::uint64_t rows = rowsOverride != 0 ? rowsOverride : layout.defaultRows;
    const Figures floor = Median(repeat, [&] { return Floor(workload, rows); });
    const Figures sort = Median(repeat, [&] { return ThroughSortfile(workload, rows); });
    const Figures stats = InChild([&] { return Statistics(workload, rows); });
    Figures stable;
    if (stableSort) stable = Median(repeat, [&] { return StableSort(workload, rows); });
    if (data != nullptr) {
      std::fprintf(data, "%s,copy-through floor,%.3f\n", layout.name, floor.seconds);
      std::fprintf(data, "%s,isort (sortfile_),%.3f\n", layout.name, sort.seconds);
      if (stableSort) std::fprintf(data, "%s,std::stable_sort,%.3f\n", layout.name, stable.seconds);
      std::fflush(data);
    }
    std::printf("| %s | %llu | %.2f | %.2f | %.2f | %s | %s | %.2fM | %.0f | %u | %llu | %llu | "
                "%.0f | %s |\n",
                layout.name, static_cast<unsigned long long>(rows), sort.seconds, floor.seconds,
                sort.seconds / floor.seconds,
                stableSort ? std::to_string(stable.seconds).substr(0, 5).c_str() : "-",
                stableSort ? std::to_string(stable.seconds / sort.seconds).substr(0, 4).c_str() : "-",
                static_cast<double>(rows) / sort.seconds / 1e6, sort.peakMiB, stats.threads,
                static_cast<unsigned long long>(stats.runs),
                static_cast<unsigned long long>(stats.passes), stats.runBytes / 1e6,
                sort.passed && floor.passed && (!stableSort || stable.passed) ? "passed" : "FAILED");
    std::fflush(stdout);
  }
  if (data != nullptr) std::fclose(data);
  return 0;
}
