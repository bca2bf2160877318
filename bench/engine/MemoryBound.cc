// Peak resident memory of a sort against its memory target, at every thread
// count from 1 to 8: W1 and (with --large) W4 through sortfile_ with the
// default target, and through FileSort with SetMemoryTarget(2 GiB).
//
//   isort_bench_memory [--large] [--workloads W1,W4] [--max-threads 8]
//
// Each sort runs in a child process of its own; the figure is the child's
// peak resident set (VmHWM) minus the target, with the child's resident set
// before the sort beside it.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "isort/FileSort.h"
#include "TestHooks.h"
#include "isort/platform.h"
#include "isort/sortfile.h"
#include "workloads/WorkloadSort.h"

namespace {

using isort::workloads::Layout;
using isort::workloads::Workload;

struct Result {
  double startMiB = 0;
  double peakMiB = 0;
  bool passed = false;
  unsigned int threads = 0;
};

double StatusMiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::strlen(field))) / 1024.0;
  }
  return 0;
}

Result InChild(const std::function<bool()>& sort) {
  int channel[2];
  if (pipe(channel) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    Result result;
    result.startMiB = StatusMiB("VmRSS:");
    result.passed = sort();
    result.peakMiB = StatusMiB("VmHWM:");
    if (write(channel[1], &result, sizeof result) != sizeof result) _exit(2);
    _exit(0);
  }
  close(channel[1]);
  Result result;
  if (read(channel[0], &result, sizeof result) != sizeof result) result = Result{};
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return result;
}

bool WithTarget(Workload workload, std::uint64_t rows, std::uint64_t target) {
  isort::workloads::WorkloadSort sort(workload, rows);
  sort.SetMemoryTarget(target);
  sort.Sort();
  return sort.checker.Passed();
}

bool ThroughSortfile(Workload workload, std::uint64_t rows) {
  isort::workloads::WorkloadHost host(workload, rows);
  return host.Sort() == 0 && host.checker.Passed();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Workload> workloads = {Workload::W1};
  unsigned int maxThreads = 8;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--large") workloads = {Workload::W1, Workload::W4};
    if (arg == "--max-threads" && i + 1 < argc) maxThreads = std::stoi(argv[++i]);
    if (arg == "--workloads" && i + 1 < argc) {
      workloads.clear();
      std::stringstream list(argv[++i]);
      std::string name;
      while (std::getline(list, name, ',')) {
        Workload workload;
        if (isort::workloads::ParseWorkload(name, &workload)) workloads.push_back(workload);
      }
    }
  }
  constexpr std::uint64_t kDefault = 512ull << 20;
  constexpr std::uint64_t kTwoGiB = 2ull << 30;
  std::printf("| workload | target | host allows | threads used | peak MiB | peak - target MiB | at start MiB | check |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---|\n");
  for (Workload workload : workloads) {
    const Layout& layout = isort::workloads::LayoutOf(workload);
    for (std::uint64_t target : {kDefault, kTwoGiB}) {
      for (unsigned int threads = 1; threads <= maxThreads; ++threads) {
        // The host allows `threads` on a machine that reports 8 cores.
        isort::platform::SetThreadLimit(threads);
        isort::platform::SetCoreCount(8);
        const Result result = InChild([&] {
          return target == kDefault ? ThroughSortfile(workload, layout.defaultRows)
                                    : WithTarget(workload, layout.defaultRows, target);
        });
        const double targetMiB = static_cast<double>(target) / (1 << 20);
        std::printf("| %s | %.0f MiB | %u | %u | %.0f | %+.0f | %.0f | %s |\n", layout.name,
                    targetMiB, threads, threads < 2 ? 2 : threads, result.peakMiB, result.peakMiB - targetMiB,
                    result.startMiB, result.passed ? "passed" : "FAILED");
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
