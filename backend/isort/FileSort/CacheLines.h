// Memory that two threads share: the cache line, which data one thread
// writes at every row must not share with data the other uses at every row
// (Runs.h, RunFeed.h, Sorter::FillBatch), and copies into the chunks that a
// helper thread on another core reads next (RowPipe, RunFeed).
#pragma once

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstring>
#include <memory>

#include "isort/types.h"

namespace isort {

constexpr std::size_t kCacheLineBytes = 64;
constexpr std::size_t kCacheLineUnits = kCacheLineBytes / sizeof(OBS);

// Units that one thread writes at every row while another thread works
// nearby: a cache line of room on either side keeps them off the lines of
// other objects.
class PaddedUnits {
 public:
  explicit PaddedUnits(std::size_t units)
      : units_(new OBS[kCacheLineUnits + units + kCacheLineUnits]) {}
  OBS* get() const { return units_.get() + kCacheLineUnits; }

 private:
  std::unique_ptr<OBS[]> units_;
};

// Copies units without bringing their cache lines into this core's caches.
// Written there, every line would then have to be fetched from this core by
// the other, and on our VMs that made RowPipe slower than one thread: the
// final merge of W1 in key order took 1053-1097 ms with chunks of 64 KiB and
// 793-816 ms with 1-2 MiB, against 508-552 ms with these copies.
inline void CopyPastCaches(OBS* to, const OBS* from, std::size_t units) {
#if defined(__x86_64__)
  static_assert(sizeof(OBS) == sizeof(long long));
  for (std::size_t i = 0; i < units; ++i) {
    long long bits;
    std::memcpy(&bits, from + i, sizeof bits);
    _mm_stream_si64(reinterpret_cast<long long*>(to + i), bits);
  }
#else
  std::memcpy(to, from, units * sizeof(OBS));
#endif
}

// Makes the copies above visible before their chunk is handed over.
inline void FinishCopies() {
#if defined(__x86_64__)
  _mm_sfence();
#endif
}

}  // namespace isort
