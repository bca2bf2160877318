// Settings of isort's own platform library (libisort_platform): the outside
// components that the engine calls and that a host may replace with its own.
// A host program that uses our platform sets these once, before it sorts; a
// host that brings its own components does not use this header.
#ifndef ISORT_PLATFORM_H
#define ISORT_PLATFORM_H

#include <cfloat>
#include <string>

#define ISORT_PLATFORM_API __attribute__((visibility("default")))

namespace isort::platform {

// How many threads this host allows a sort: what getthreads_ reports. 0 (the
// default) allows one per processor this process may run on. A sort reads it
// when it starts.
ISORT_PLATFORM_API void SetThreadLimit(unsigned int threads);

// The directory in which work files are created. Empty (the default): TMPDIR,
// else /tmp. Read whenever a work file is created.
ISORT_PLATFORM_API void SetWorkDirectory(const std::string& directory);
// Where work files are created now, without a trailing slash.
ISORT_PLATFORM_API std::string WorkDirectory();

// The system-missing value that this host's global block holds (the second
// slot of CmnGlb): the lowest double.
constexpr double kSystemMissing = -DBL_MAX;

}  // namespace isort::platform

#endif  // ISORT_PLATFORM_H
