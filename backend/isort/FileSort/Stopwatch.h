// FileSort::Stopwatch: measures one phase of a sort with the host's two time
// counters. It stores the differences when it goes out of scope, also when an
// exception leaves the measured scope.
#pragma once

#include <cstdint>

#include "isort/FileSort.h"

class ISORT_NO_EXPORT FileSort::Stopwatch {
 public:
  // Either target may be null.
  Stopwatch(int* first, int* second);
  ~Stopwatch();
  Stopwatch(const Stopwatch&) = delete;
  Stopwatch& operator=(const Stopwatch&) = delete;

 private:
  std::int64_t firstStart;
  std::int64_t secondStart;
  int* firstTarget;
  int* secondTarget;
};
