// Host services: thread and processor counts, time counters, the unit mover
// and the assertion reporter.
#include "host/HostServices.h"

#include <sched.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "TestHooks.h"
#include "isort/platform.h"

namespace {

std::atomic<unsigned int> threadLimit{0};
std::atomic<unsigned int> coreCount{0};

unsigned int ProcessorsAvailable() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned int>(count);
  }
  const unsigned int hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

bool ReadNumber(const std::string& path, long* value) {
  std::ifstream in(path);
  return static_cast<bool>(in >> *value);
}

// (package, core) of every online processor, from the kernel's topology.
std::set<std::pair<long, long>> CoreTopology() {
  std::set<std::pair<long, long>> cores;
  for (unsigned int cpu = 0;; ++cpu) {
    const std::string base =
        "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
    long package = 0;
    long core = 0;
    if (!ReadNumber(base + "physical_package_id", &package)) break;
    if (!ReadNumber(base + "core_id", &core)) break;
    cores.emplace(package, core);
  }
  return cores;
}

std::int64_t Milliseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

namespace isort::platform {

void SetThreadLimit(unsigned int threads) { threadLimit.store(threads); }

void SetCoreCount(unsigned int cores) { coreCount.store(cores); }

}  // namespace isort::platform

extern "C" {

INTEGER getthreads_() {
  const unsigned int limit = threadLimit.load();
  return limit != 0 ? limit : ProcessorsAvailable();
}

unsigned int getPhysicalCPUCount() {
  if (coreCount.load() != 0) return 1;
  std::set<long> packages;
  for (const auto& core : CoreTopology()) packages.insert(core.first);
  return packages.empty() ? 1 : static_cast<unsigned int>(packages.size());
}

unsigned int getCoresPerPhysicalCPUCount() {
  if (coreCount.load() != 0) return coreCount.load();
  const auto cores = CoreTopology();
  if (cores.empty()) return ProcessorsAvailable();
  std::set<long> packages;
  for (const auto& core : cores) packages.insert(core.first);
  return static_cast<unsigned int>(cores.size() / packages.size());
}

// first: CPU time of the whole process; second: elapsed (monotonic) time.
// Both in milliseconds.
void timtot_(std::int64_t* first, std::int64_t* second) {
  *first = Milliseconds(CLOCK_PROCESS_CPUTIME_ID);
  *second = Milliseconds(CLOCK_MONOTONIC);
}

void obmove_(const OBS* from, OBS* to, const INTEGER* n) {
  if (*n > 0) std::memmove(to, from, static_cast<std::size_t>(*n) * sizeof(OBS));
}

void assert_(const INTEGER* nameLength, const char* name,
             const INTEGER* textLength, const char* text, std::size_t,
             std::size_t) {
  std::fprintf(stderr, "isort: internal check failed in %.*s: %.*s\n",
               static_cast<int>(*nameLength), name,
               static_cast<int>(*textLength), text);
  std::fflush(stderr);
}

}  // extern "C"
