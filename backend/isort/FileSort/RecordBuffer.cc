#include "FileSort/RecordBuffer.h"

#include <sys/mman.h>

#include <new>

namespace isort {
namespace {

// Buffers from this size on are aligned for transparent huge pages, which
// fault in at a third of the cost of small pages.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

OBS* Allocate(std::size_t bytes) {
  if (bytes < kHugePage) return static_cast<OBS*>(std::malloc(bytes));
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* memory = std::aligned_alloc(kHugePage, rounded);
  if (memory != nullptr) madvise(memory, rounded, MADV_HUGEPAGE);
  return static_cast<OBS*>(memory);
}

}  // namespace

OBS* RecordBuffer::Obtain(std::uint64_t units) {
  if (units > capacity_ || memory_ == nullptr) {
    memory_.reset();
    capacity_ = 0;
    if (units > SIZE_MAX / sizeof(OBS)) throw std::bad_alloc();
    OBS* memory = Allocate(units == 0 ? sizeof(OBS) : units * sizeof(OBS));
    if (memory == nullptr) throw std::bad_alloc();
    memory_.reset(memory);
    capacity_ = units;
  }
  inUse_ = true;
  return memory_.get();
}

}  // namespace isort
