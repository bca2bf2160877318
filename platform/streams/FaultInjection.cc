#include "streams/FaultInjection.h"

#include <atomic>

namespace isort::platform::faults {
namespace {

constexpr int kCallKinds = 5;

// Calls left before the injected failure (0: off), and its errno, per kind.
std::atomic<unsigned long> countdown[kCallKinds];
std::atomic<int> injectedError[kCallKinds];

}  // namespace

void FailNthFileCall(FileCall call, unsigned long nth, int error) {
  const int kind = static_cast<int>(call);
  injectedError[kind].store(error);
  countdown[kind].store(nth);
}

void ClearFileFaults() {
  for (auto& left : countdown) left.store(0);
}

bool ShouldFail(FileCall call, int* error) {
  const int kind = static_cast<int>(call);
  unsigned long left = countdown[kind].load(std::memory_order_relaxed);
  while (left != 0) {
    if (countdown[kind].compare_exchange_weak(left, left - 1)) {
      if (left != 1) return false;
      *error = injectedError[kind].load();
      return true;
    }
  }
  return false;
}

}  // namespace isort::platform::faults
