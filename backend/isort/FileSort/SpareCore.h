// Helper threads that only take work off the thread that runs a sort's main
// work (faulting in memory ahead of the loader, sorting the last batch,
// merging ahead of delivery): they pay only where the machine has a core
// beside that thread, and where the system cannot start one, the work is
// done without it.
#pragma once

#include <system_error>
#include <thread>
#include <utility>

#include "host/HostServices.h"

namespace isort {

inline bool SpareCore() { return getPhysicalCPUCount() * getCoresPerPhysicalCPUCount() > 1; }

// A thread running `work`, or none (not joinable) where the system has no
// thread to spare. std::bad_alloc passes.
template <typename Work>
std::thread StartHelper(Work&& work) {
  try {
    return std::thread(std::forward<Work>(work));
  } catch (const std::system_error&) {
    return std::thread();
  }
}

}  // namespace isort
