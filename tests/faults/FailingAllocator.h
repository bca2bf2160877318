// Replaces the test program's global allocator so that the nth allocation from
// now, on any thread, fails: std::bad_alloc, or null from the nothrow forms.
#pragma once

#include <cstdint>

namespace isort::testing {

// 0 disarms.
void FailNthAllocation(std::uint64_t nth);
// True when the failure armed last has happened (disarming keeps the answer).
bool AllocationFailed();

// Armed for the life of the object.
struct AllocationFault {
  explicit AllocationFault(std::uint64_t nth) { FailNthAllocation(nth); }
  ~AllocationFault() { FailNthAllocation(0); }
};

}  // namespace isort::testing
