#include "streams/MemoryArea.h"

#include "streams/FaultInjection.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace isort::platform::streams {
namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Areas from this size on ask for transparent huge pages: below it a huge
// page would mostly hold untouched reserve.
constexpr std::size_t kHugePageThreshold = 4 * kHugePage;
// The smallest area: streams that hold a few rows' payloads.
constexpr std::size_t kMinimumArea = 64 * 1024;

std::size_t RoundUp(std::size_t bytes, std::size_t unit) {
  return (bytes + unit - 1) / unit * unit;
}

void AskForHugePages(unsigned char* data, std::size_t bytes) {
  if (bytes >= kHugePageThreshold) ::madvise(data, bytes, MADV_HUGEPAGE);
}

// An untouched private mapping of `bytes`, aligned to a huge page when it is
// large enough to use them.
unsigned char* MapUntouched(std::size_t bytes) {
  int unused = 0;
  if (faults::ShouldFail(faults::FileCall::kMemory, &unused)) throw std::bad_alloc();
  const std::size_t alignment = bytes >= kHugePageThreshold ? kHugePage : kPage;
  const std::size_t mapped = bytes + alignment - kPage;
  void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  auto* start = static_cast<unsigned char*>(raw);
  const auto address = reinterpret_cast<std::uintptr_t>(start);
  auto* aligned = start + (RoundUp(address, alignment) - address);
  if (aligned > start) ::munmap(start, static_cast<std::size_t>(aligned - start));
  const std::size_t tail = static_cast<std::size_t>((start + mapped) - (aligned + bytes));
  if (tail > 0) ::munmap(aligned + bytes, tail);
  return aligned;
}

}  // namespace

MemoryArea::MemoryArea(std::size_t bytes) {
  capacity_ = RoundUp(bytes < kMinimumArea ? kMinimumArea : bytes, kPage);
  data_ = MapUntouched(capacity_);
  AskForHugePages(data_, capacity_);
}

MemoryArea::~MemoryArea() { ::munmap(data_, capacity_); }

void MemoryArea::Reserve(std::size_t bytes) {
  if (bytes <= capacity_) return;
  // Doubling keeps the number of remaps logarithmic; the reserve is address
  // space only until it is written.
  std::size_t wanted = capacity_ * 2;
  if (wanted < bytes) wanted = bytes;
  wanted = RoundUp(wanted, kPage);
  if (wanted < capacity_) throw std::bad_alloc();  // the size wrapped around
  int unused = 0;
  if (faults::ShouldFail(faults::FileCall::kMemory, &unused)) throw std::bad_alloc();
  void* moved = ::mremap(data_, capacity_, wanted, MREMAP_MAYMOVE);
  if (moved == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<unsigned char*>(moved);
  capacity_ = wanted;
  AskForHugePages(data_, capacity_);
}

}  // namespace isort::platform::streams
