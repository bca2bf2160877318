#include "FailingAllocator.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace isort::testing {
namespace {

std::atomic<std::uint64_t> countdown{0};
std::atomic<bool> failed{false};

// True when this allocation is the one to fail.
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

void* Allocate(std::size_t bytes, std::size_t alignment) {
  if (FailThisOne()) return nullptr;
  if (bytes == 0) bytes = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(bytes);
  return std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
}

void* AllocateOrThrow(std::size_t bytes, std::size_t alignment) {
  void* memory = Allocate(bytes, alignment);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

}  // namespace

void FailNthAllocation(std::uint64_t nth) {
  if (nth != 0) failed.store(false);
  countdown.store(nth);
}

bool AllocationFailed() { return failed.load(); }

}  // namespace isort::testing

using isort::testing::Allocate;
using isort::testing::AllocateOrThrow;
constexpr std::size_t kPlain = alignof(std::max_align_t);

void* operator new(std::size_t n) { return AllocateOrThrow(n, kPlain); }
void* operator new[](std::size_t n) { return AllocateOrThrow(n, kPlain); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n, kPlain); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n, kPlain); }
void* operator new(std::size_t n, std::align_val_t a) { return AllocateOrThrow(n, std::size_t(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return AllocateOrThrow(n, std::size_t(a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Allocate(n, std::size_t(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Allocate(n, std::size_t(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
