// Whether the machine has a core beside the one that runs the sort's main
// work: the helper threads that only take work off that thread (faulting in
// memory ahead of the loader, merging ahead of delivery) pay only then.
#pragma once

#include "host/HostServices.h"

namespace isort {

inline bool SpareCore() { return getPhysicalCPUCount() * getCoresPerPhysicalCPUCount() > 1; }

}  // namespace isort
