#include "FileSort/Prefaulter.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "FileSort/SpareCore.h"

namespace isort {
namespace {

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it with EINVAL
#endif

constexpr std::uintptr_t kPage = 4096;
// A helper that has run a step ahead looks again after this long: the loader
// fills a step of W1's records in about 4 ms. (Faulting a step in takes at
// most about 3 ms, which is also the longest that Stop waits.)
constexpr std::chrono::microseconds kWaitForLoader{200};

std::uintptr_t RoundUp(std::uintptr_t address, std::uintptr_t unit) {
  return (address + unit - 1) / unit * unit;
}

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
  reached_.store(0);
  areas_[0] = first;
  areas_[1] = second;
  faultedIn_[0] = faultedIn_[1] = 0;
  // Without a thread to spare, the loader faults its pages in itself.
  helper_ = StartHelper([this] { FaultIn(); });
}

void Prefaulter::Stop() {
  stop_.store(true, std::memory_order_relaxed);
  Finish();
}

void Prefaulter::Finish() {
  if (helper_.joinable()) helper_.join();
}

void Prefaulter::FaultIn() {
  const Area& first = areas_[0];
  const Area& second = areas_[1];
  const std::size_t steps = std::max(first.bytes, second.bytes) / kStep + 1;
  const auto share = [steps](const Area& area, std::size_t step) {
    return step == steps ? area.bytes : area.bytes / steps * step;
  };
  for (std::size_t step = 0; step < steps; ++step) {
    // The step after the loader's: one the loader is in already would have
    // both wait for the same pages.
    while (share(first, step) > reached_.load(std::memory_order_relaxed) + kStep) {
      if (stop_.load(std::memory_order_relaxed)) return;
      std::this_thread::sleep_for(kWaitForLoader);
    }
    if (stop_.load(std::memory_order_relaxed)) return;
    if (!Populate(first, share(first, step), share(first, step + 1))) return;
    faultedIn_[0] = share(first, step + 1);
    if (!Populate(second, share(second, step), share(second, step + 1))) return;
    faultedIn_[1] = share(second, step + 1);
  }
}

void Prefaulter::GiveBack(std::size_t first, std::size_t second, const void* secondNow) {
  Stop();
  const std::size_t used[2] = {first, second};
  for (int i = 0; i < 2; ++i) {
    if (i == 1 && secondNow != areas_[1].start) continue;
    const auto start = reinterpret_cast<std::uintptr_t>(areas_[i].start);
    // Whole pages only, from the huge page after the loader's last one: the
    // loader's own faults would have taken that page whole.
    const std::uintptr_t from = RoundUp(start + used[i], kStep);
    const std::uintptr_t to = (start + faultedIn_[i]) & ~(kPage - 1);
    if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
  }
}

}  // namespace isort
