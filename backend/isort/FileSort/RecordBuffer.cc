#include "FileSort/RecordBuffer.h"

#include <sys/mman.h>

#include <new>

namespace isort {
namespace {

// Buffers from this size on are aligned for transparent huge pages, which
// fault in at a third of the cost of small pages.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t AlignmentFor(std::size_t bytes) {
  return bytes < kHugePage ? alignof(std::max_align_t) : kHugePage;
}

// Memory through the allocator (so that tests can make any allocation fail),
// aligned for huge pages when it is large enough to use them.
OBS* Allocate(std::size_t bytes, std::size_t alignment) {
  const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
  void* memory = ::operator new(rounded, std::align_val_t(alignment), std::nothrow);
  if (memory != nullptr && alignment == kHugePage) madvise(memory, rounded, MADV_HUGEPAGE);
  return static_cast<OBS*>(memory);
}

}  // namespace

OBS* RecordBuffer::Obtain(std::uint64_t units) {
  if (units > capacity_ || memory_ == nullptr) {
    memory_.reset();
    capacity_ = 0;
    if (units > SIZE_MAX / sizeof(OBS) - kHugePage) throw std::bad_alloc();
    const std::size_t bytes = units == 0 ? sizeof(OBS) : units * sizeof(OBS);
    const std::size_t alignment = AlignmentFor(bytes);
    OBS* memory = Allocate(bytes, alignment);
    if (memory == nullptr) throw std::bad_alloc();
    memory_ = std::unique_ptr<OBS, Release>(memory, Release{alignment});
    capacity_ = units;
  }
  inUse_ = true;
  return memory_.get();
}

}  // namespace isort
