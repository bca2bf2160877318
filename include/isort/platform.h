// Settings of isort's own platform library (libisort_platform): the outside
// components that a host may replace with its own. A host that brings its own
// components does not use this header.
#ifndef ISORT_PLATFORM_H
#define ISORT_PLATFORM_H

#include <cstddef>

#define ISORT_PLATFORM_API __attribute__((visibility("default")))

namespace isort::platform {

// The thread count that getthreads_ reports. 0 (the default) reports the
// processors this process may run on.
ISORT_PLATFORM_API void SetThreadLimit(unsigned int threads);

// The processor topology that getPhysicalCPUCount and
// getCoresPerPhysicalCPUCount report: `cores` cores on one processor. 0 (the
// default) reads the machine's topology. Lets a test run a sort on more
// threads than the machine has cores.
ISORT_PLATFORM_API void SetCoreCount(unsigned int cores);

// The buffer size of each temporary-file handle, and so its Footprint(). The
// merge budgets one footprint per run it reads: large buffers force merges in
// several passes. Takes effect for handles created afterwards.
ISORT_PLATFORM_API void SetFileBufferSize(std::size_t bytes);
ISORT_PLATFORM_API std::size_t FileBufferSize();

}  // namespace isort::platform

#endif  // ISORT_PLATFORM_H
