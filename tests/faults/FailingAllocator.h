// Replaces the global allocator of a test program so that a test can make the
// nth allocation fail: the one place where "every allocation fails in turn"
// can be tested. Only armed allocations count, on any thread.
#pragma once

#include <cstdint>

namespace isort::testing {

// The nth allocation from now fails (throws std::bad_alloc, or returns null
// for the nothrow forms); 0 disarms.
void FailNthAllocation(std::uint64_t nth);
// True when the failure armed last has happened (disarming keeps the answer).
bool AllocationFailed();

// Arms for the life of the object.
class AllocationFault {
 public:
  explicit AllocationFault(std::uint64_t nth) { FailNthAllocation(nth); }
  ~AllocationFault() { FailNthAllocation(0); }
  AllocationFault(const AllocationFault&) = delete;
  AllocationFault& operator=(const AllocationFault&) = delete;
};

}  // namespace isort::testing
