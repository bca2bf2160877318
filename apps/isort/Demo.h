// isort demo: sorts a standard workload, generated on the fly, through the
// engine, checks every row that comes back, and reports what it took.
#pragma once

#include <cstdint>

#include "Progress.h"
#include "workloads/Workloads.h"

namespace isort::app {

struct DemoOptions {
  workloads::Workload workload = workloads::Workload::W1;
  std::uint64_t rows = 0;    // 0: the workload's own row count
  std::uint64_t memory = 0;  // 0: the engine's default budget
  unsigned int threads = 0;  // 0: the processors available
};

// Returns 0 when every row came back in order, 1 otherwise.
int RunDemo(const DemoOptions& options, Progress& progress);

}  // namespace isort::app
