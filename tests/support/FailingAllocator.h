// Replaces the test program's global allocator so that the nth allocation from
// now, on any thread, fails: std::bad_alloc, or null from the nothrow forms.
// It defines the program's operator new and delete: one source file of a test
// program includes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace isort::testing {
namespace {

std::atomic<std::uint64_t> countdown{0};
std::atomic<bool> failed{false};

bool FailThisOne() {
  std::uint64_t left = countdown.load(std::memory_order_relaxed);
  while (left != 0) {
    if (countdown.compare_exchange_weak(left, left - 1)) {
      if (left != 1) return false;
      failed.store(true);
      return true;
    }
  }
  return false;
}

// Null when the nothrow forms fail.
void* Allocate(std::size_t bytes, std::size_t alignment, bool nothrow = true) {
  bytes = bytes == 0 ? 1 : bytes;
  void* memory = FailThisOne()                              ? nullptr
                 : alignment <= alignof(std::max_align_t) ? std::malloc(bytes)
                 : std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
  if (memory == nullptr && !nothrow) throw std::bad_alloc();
  return memory;
}

}  // namespace

// The nth allocation from now fails; 0 disarms.
void FailNthAllocation(std::uint64_t nth) {
  if (nth != 0) failed.store(false);
  countdown.store(nth);
}

// True when the failure armed last has happened (disarming keeps the answer).
bool AllocationFailed() { return failed.load(); }

// Armed for the life of the object.
struct AllocationFault {
  explicit AllocationFault(std::uint64_t nth) { FailNthAllocation(nth); }
  ~AllocationFault() { FailNthAllocation(0); }
};

}  // namespace isort::testing

using isort::testing::Allocate;
constexpr std::size_t kPlain = alignof(std::max_align_t);

void* operator new(std::size_t n) { return Allocate(n, kPlain, false); }
void* operator new[](std::size_t n) { return Allocate(n, kPlain, false); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n, kPlain); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n, kPlain); }
void* operator new(std::size_t n, std::align_val_t a) { return Allocate(n, size_t(a), false); }
void* operator new[](std::size_t n, std::align_val_t a) { return Allocate(n, size_t(a), false); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Allocate(n, std::size_t(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Allocate(n, std::size_t(a));
}
// Every form of delete frees what malloc or aligned_alloc gave.
#define ISORT_TEST_DELETE(...)                                  \
  void operator delete(__VA_ARGS__) noexcept { std::free(p); } \
  void operator delete[](__VA_ARGS__) noexcept { std::free(p); }
ISORT_TEST_DELETE(void* p)
ISORT_TEST_DELETE(void* p, std::size_t)
ISORT_TEST_DELETE(void* p, std::align_val_t)
ISORT_TEST_DELETE(void* p, std::size_t, std::align_val_t)
ISORT_TEST_DELETE(void* p, const std::nothrow_t&)
ISORT_TEST_DELETE(void* p, std::align_val_t, const std::nothrow_t&)
