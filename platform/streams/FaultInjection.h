// How the streams let a test make their system calls fail (TestHooks.h arms
// the countdowns).
#pragma once

#include <cerrno>

#include "TestHooks.h"

namespace isort::platform::faults {

// True when this call is to fail, with its errno in *error.
bool ShouldFail(FileCall call, int* error);

// Runs one system call, retrying it when a signal interrupts it, unless a test
// has armed a fault for its kind: then it "fails" with the injected errno.
template <typename Call>
auto Attempt(FileCall kind, Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    int injected = 0;
    if (ShouldFail(kind, &injected)) {
      errno = injected;
      result = -1;
    } else {
      result = call();
    }
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace isort::platform::faults
