// End-to-end benchmark: the standard workloads through sortfile_, beside two
// references on the same rows: the copy-through floor (the same callbacks, no
// sort) and std::stable_sort of whole rows in memory.
//
// Two sources of rows. "generated": the get callback generates each row and
// the put callback rebuilds it from its id to check it. "file": the rows lie
// in a page-cached file, which the get callback copies from (through a
// 1 MiB buffer, as a host copies rows out of its own), and the put callback
// checks the order and adds an order-independent hash of the row; W1s is W1's
// rows already in key order, W1n nearly so (every 50th to 100th row a place
// out), read from a file.
//
// Each measurement runs in a child process of its own, so that its peak
// resident memory is its own and no measurement warms memory for the next.
//
//   isort_bench_end_to_end [--workloads W1,W2,W3] [--source generated|file|both]
//                          [--files W1,W1s,W1n,...] [--rows N] [--repeat N]
//                          [--skip-stable-sort] [--sort-only] [--phases-only]
//                          [--data FILE]
//
// Timings are the median of --repeat runs (default 3): this machine's
// timings spread by up to a fifth from run to run. --data appends
// "workload,measurement,seconds" lines for the report's chart.
#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "isort/FileSort.h"
#include "isort/sortfile.h"
#include "FileSource.h"
#include "workloads/WorkloadSort.h"

namespace {

using isort::workloads::CompareRows;
using isort::workloads::RowHash;

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
  std::fflush(stdout);  // or the child prints what the parent has buffered
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

// std::stable_sort of whole rows held in memory: all rows in through the get
// callback, sorted by the keys, all out through the put callback.
template <unsigned int kUnits, typename Source>
bool StableSortRows(const Layout& layout, std::uint64_t rows, Source& source) {
  struct Row {
    OBS units[kUnits];
  };
  std::vector<Row> all(rows);
  for (Row& row : all) Source::Get(&source, row.units, kUnits);
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
  for (const Row& row : all) Source::Put(&source, row.units, kUnits);
  return true;
}

template <typename Source>
Figures StableSort(const Layout& layout, std::uint64_t rows, Source& source) {
  const auto start = std::chrono::steady_clock::now();
  if (layout.units == 15) {
    StableSortRows<15>(layout, rows, source);
  } else {
    StableSortRows<10>(layout, rows, source);
  }
  Figures figures;
  figures.seconds = Since(start);
  return figures;
}

Figures StableSort(Workload workload, std::uint64_t rows) {
  Host host(workload, rows);
  Figures figures = StableSort(isort::workloads::LayoutOf(workload), rows, host);
  figures.passed = host.checker.Passed();
  return figures;
}

// The same three measurements with rows copied out of a page-cached file.
using isort::bench::FileHost;
using isort::bench::RowFile;

Figures FileFloor(const RowFile& file) {
  FileHost host(file);
  std::vector<OBS> row(file.layout().units);
  const auto start = std::chrono::steady_clock::now();
  // Rows in input order go straight out: only W1s is in order already, so
  // the figure judges nothing but the time.
  while (host.Next(row.data())) FileHost::Put(&host, row.data(), 0);
  Figures figures;
  figures.seconds = Since(start);
  figures.passed = true;
  return figures;
}

Figures FileThroughSortfile(const RowFile& file) {
  FileHost host(file);
  const auto start = std::chrono::steady_clock::now();
  const INTEGER status = host.Sort();
  Figures figures;
  figures.seconds = Since(start);
  figures.passed = status == 0 && host.Passed();
  return figures;
}

Figures FileStableSort(const RowFile& file) {
  FileHost host(file);
  Figures figures = StableSort(file.layout(), file.rows(), host);
  figures.passed = host.Passed();
  return figures;
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

// The phases of one sort of `file`: each batch's load, sort and write, the
// run formation as a whole and each merge pass, in milliseconds. With
// `warm`, after a first sort in the same process, whose memory the second
// then finds touched already.
void PrintPhases(const RowFile& file, bool warm = false) {
  class PhaseSort : public ::FileSort {
   public:
    PhaseSort(const RowFile& file, Statistics* statistics)
        : ::FileSort(KeysOf(file.layout()), file.layout().units, statistics),
          host_(file), row_(file.layout().units) {}
    static std::vector<SortKey> KeysOf(const Layout& layout) {
      std::vector<SortKey> keys;
      for (const auto& key : layout.keys) keys.push_back({key.position, key.direction, key.width});
      return keys;
    }
    const OBS* GetRow() override { return host_.Next(row_.data()) ? row_.data() : nullptr; }
    void PutRow(const OBS* row) override { host_.Take(row); }

   private:
    FileHost host_;
    std::vector<OBS> row_;
  };
  ::FileSort::Statistics stats;
  InChild([&] {
    if (warm) {
      ::FileSort::Statistics first;
      PhaseSort(file, &first).Sort();
    }
    const auto start = std::chrono::steady_clock::now();
    PhaseSort(file, &stats).Sort();
    std::printf("  %s sort: %.0f ms\n", warm ? "second" : "one", Since(start) * 1e3);
    for (const auto& batch : stats.sorts) {
      std::printf("  batch of %llu rows: load %d, sort %d, write %d ms\n",
                  static_cast<unsigned long long>(batch.rows), batch.loadTime, batch.sortTime,
                  batch.writeTime);
    }
    std::printf("  run formation %d ms elapsed, %d ms CPU\n", stats.timeB, stats.timeA);
    for (const auto& pass : stats.merges) {
      std::printf("  merge of %u runs: %d ms elapsed, %d ms CPU\n", pass.runsMerged, pass.timeB,
                  pass.timeA);
    }
    std::fflush(stdout);
    return Figures{};
  });
}

void PrintHeader() {
  std::printf("| workload | rows | sort s | floor s | sort / floor | stable_sort s | "
              "stable_sort / sort | rows/s | peak MiB | threads | runs | passes | "
              "work-file MB | check |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n");
}

void PrintRow(const char* name, std::uint64_t rows, const Figures& sort, const Figures& floor,
              const Figures& stable, bool stableSort, const Figures& stats) {
  std::printf("| %s | %llu | %.2f | %.2f | %.2f | %s | %s | %.2fM | %.0f | %u | %llu | %llu | "
              "%.0f | %s |\n",
              name, static_cast<unsigned long long>(rows), sort.seconds, floor.seconds,
              sort.seconds / floor.seconds,
              stableSort ? std::to_string(stable.seconds).substr(0, 5).c_str() : "-",
              stableSort ? std::to_string(stable.seconds / sort.seconds).substr(0, 4).c_str() : "-",
              static_cast<double>(rows) / sort.seconds / 1e6, sort.peakMiB, stats.threads,
              static_cast<unsigned long long>(stats.runs),
              static_cast<unsigned long long>(stats.passes), stats.runBytes / 1e6,
              sort.passed && floor.passed && (!stableSort || stable.passed) ? "passed" : "FAILED");
  std::fflush(stdout);
}

void RecordData(std::FILE* data, const std::string& name, const Figures& floor,
                const Figures& sort, const Figures& stable, bool stableSort) {
  if (data == nullptr) return;
  std::fprintf(data, "%s,copy-through floor,%.3f\n", name.c_str(), floor.seconds);
  std::fprintf(data, "%s,isort (sortfile_),%.3f\n", name.c_str(), sort.seconds);
  if (stableSort) std::fprintf(data, "%s,std::stable_sort,%.3f\n", name.c_str(), stable.seconds);
  std::fflush(data);
}

using isort::bench::Arrival;

// The suffix of a file workload's name: "s" in key order, "n" nearly so.
const char* SuffixOf(Arrival arrival) {
  return arrival == Arrival::kPresorted ? "s" : arrival == Arrival::kNearlySorted ? "n" : "";
}

// "W1,W1s,W1n,W2": workloads of the file source; an "s" asks for rows in key
// order, an "n" for rows nearly so.
std::vector<std::pair<Workload, Arrival>> ParseFiles(const std::string& list) {
  std::vector<std::pair<Workload, Arrival>> files;
  std::stringstream in(list);
  std::string name;
  while (std::getline(in, name, ',')) {
    Arrival arrival = Arrival::kGenerated;
    const char last = name.empty() ? '\0' : static_cast<char>(std::tolower(name.back()));
    if (last == 's' || last == 'n') {
      arrival = last == 's' ? Arrival::kPresorted : Arrival::kNearlySorted;
      name.pop_back();
    }
    Workload workload;
    if (isort::workloads::ParseWorkload(name, &workload)) files.emplace_back(workload, arrival);
  }
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Workload> workloads = {Workload::W1, Workload::W2, Workload::W3};
  std::string source = "both";
  std::string fileList;  // the file source's workloads, e.g. W1,W1s,W1n
  std::uint64_t rowsOverride = 0;
  bool stableSort = true;
  bool sortOnly = false;
  bool phasesOnly = false;
  bool warmPhases = false;
  int repeat = 3;
  std::FILE* data = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--workloads" && i + 1 < argc) workloads = ParseWorkloads(argv[++i]);
    if (arg == "--source" && i + 1 < argc) source = argv[++i];
    if (arg == "--files" && i + 1 < argc) fileList = argv[++i];
    if (arg == "--rows" && i + 1 < argc) rowsOverride = std::stoull(argv[++i]);
    if (arg == "--repeat" && i + 1 < argc) repeat = std::max(1, std::atoi(argv[++i]));
    if (arg == "--skip-stable-sort") stableSort = false;
    // For profiling: the sort alone, once.
    if (arg == "--sort-only") sortOnly = true;
    // The phases of one sort, without the timed sort before it: for
    // comparing phases with memory that the system has not touched lately.
    if (arg == "--phases-only") sortOnly = phasesOnly = true;
    // The same for a second sort in the process: memory already touched.
    if (arg == "--warm-phases") sortOnly = phasesOnly = warmPhases = true;
    if (arg == "--data" && i + 1 < argc) data = std::fopen(argv[++i], "a");
  }
  const auto rowsOf = [&](Workload workload) {
    return rowsOverride != 0 ? rowsOverride : isort::workloads::LayoutOf(workload).defaultRows;
  };

  if (source == "generated" || source == "both") {
    std::printf("### Rows generated in the get callback\n\n");
    PrintHeader();
    for (Workload workload : workloads) {
      const std::uint64_t rows = rowsOf(workload);
      const Figures floor = Median(repeat, [&] { return Floor(workload, rows); });
      const Figures sort = Median(repeat, [&] { return ThroughSortfile(workload, rows); });
      const Figures stats = InChild([&] { return Statistics(workload, rows); });
      Figures stable;
      if (stableSort) stable = Median(repeat, [&] { return StableSort(workload, rows); });
      const char* name = isort::workloads::LayoutOf(workload).name;
      RecordData(data, name, floor, sort, stable, stableSort);
      PrintRow(name, rows, sort, floor, stable, stableSort, stats);
    }
  }
  if (source == "file" || source == "both") {
    std::printf("\n### Rows copied out of a page-cached file\n\n");
    PrintHeader();
    std::vector<std::pair<Workload, Arrival>> files;
    for (Workload workload : workloads) files.emplace_back(workload, Arrival::kGenerated);
    if (std::find(workloads.begin(), workloads.end(), Workload::W1) != workloads.end()) {
      files.emplace_back(Workload::W1, Arrival::kPresorted);
      files.emplace_back(Workload::W1, Arrival::kNearlySorted);
    }
    if (!fileList.empty()) files = ParseFiles(fileList);
    for (const auto& [workload, arrival] : files) {
      const std::uint64_t rows = rowsOf(workload);
      const RowFile file(workload, rows, arrival);
      if (phasesOnly) {
        PrintPhases(file, warmPhases);
        continue;
      }
      if (sortOnly) {
        // The monotonic clock at start and end, for perf report --time.
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        const double seconds = FileThroughSortfile(file).seconds;
        std::printf("%s: %.2f s, from %ld.%06ld\n",
                    arrival == Arrival::kGenerated    ? "shuffled"
                    : arrival == Arrival::kPresorted ? "presorted"
                                                     : "nearly sorted",
                    seconds,
                    static_cast<long>(start.tv_sec), start.tv_nsec / 1000);
        PrintPhases(file);
        continue;
      }
      const Figures floor = Median(repeat, [&] { return FileFloor(file); });
      const Figures sort = Median(repeat, [&] { return FileThroughSortfile(file); });
      const Figures stats = InChild([&] { return Statistics(workload, rows); });
      Figures stable;
      if (stableSort) stable = Median(repeat, [&] { return FileStableSort(file); });
      const std::string name =
          std::string(isort::workloads::LayoutOf(workload).name) + SuffixOf(arrival);
      RecordData(data, name + " file", floor, sort, stable, stableSort);
      PrintRow((name + " file").c_str(), rows, sort, floor, stable, stableSort, stats);
    }
  }
  if (data != nullptr) std::fclose(data);
  return 0;
}
