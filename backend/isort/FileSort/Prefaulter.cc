#include "FileSort/Prefaulter.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace isort {
namespace {

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it with EINVAL
#endif

// One step: a huge page. Faulting in fresh memory runs at about 0.65 GB/s
// here, so Stop waits at most about 3 ms per area.
constexpr std::size_t kStep = std::size_t{2} << 20;
constexpr std::uintptr_t kPage = 4096;

// Faults in [from, to) of `area`, page aligned inwards at the start; false when
// the kernel cannot populate at all.
bool Populate(const Prefaulter::Area& area, std::size_t from, std::size_t to) {
  if (to <= from) return true;
  const auto start = reinterpret_cast<std::uintptr_t>(area.start) + from;
  const std::uintptr_t aligned = start & ~(kPage - 1);
  const std::size_t bytes = to - from + (start - aligned);
  // Other failures (a page that cannot be had now) only mean that the
  // loader faults that page in itself.
  return ::madvise(reinterpret_cast<void*>(aligned), bytes, MADV_POPULATE_WRITE) == 0 ||
         errno != EINVAL;
}

}  // namespace

void Prefaulter::Start(Area first, Area second) {
  Stop();
  stop_.store(false);
  try {
    helper_ = std::thread([this, first, second] { FaultIn(first, second); });
  } catch (const std::system_error&) {
    // No thread to spare: the loader faults its pages in itself.
  }
}

void Prefaulter::Stop() {
  stop_.store(true, std::memory_order_relaxed);
  Finish();
}

void Prefaulter::Finish() {
  if (helper_.joinable()) helper_.join();
}

void Prefaulter::FaultIn(Area first, Area second) {
  const std::size_t steps = std::max(first.bytes, second.bytes) / kStep + 1;
  for (std::size_t step = 0; step < steps; ++step) {
    if (stop_.load(std::memory_order_relaxed)) return;
    const auto share = [&](const Area& area, std::size_t k) { return area.bytes / steps * k; };
    const std::size_t firstEnd = step + 1 == steps ? first.bytes : share(first, step + 1);
    const std::size_t secondEnd = step + 1 == steps ? second.bytes : share(second, step + 1);
    if (!Populate(first, share(first, step), firstEnd)) return;
    if (!Populate(second, share(second, step), secondEnd)) return;
  }
}

}  // namespace isort
