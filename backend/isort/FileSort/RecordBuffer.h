// The memory behind a Sorter's record buffer.
//
// Each batch frees its record buffer when the next batch starts and obtains a
// new one. Memory handed back to the system costs its page faults again when
// it is touched anew (0.45 s a GB here, and several times that on a machine
// whose memory has never been touched), so the buffer keeps its memory and
// gives it to the next batch when it is large enough.
#pragma once

#include <cstdint>
#include <cstddef>
#include <memory>
#include <new>

#include "isort/FileSort.h"

namespace isort {

class RecordBuffer {
 public:
  // Memory for `units` units; what an earlier batch freed when it is large
  // enough. Throws std::bad_alloc.
  OBS* Obtain(std::uint64_t units);
  // The batch is done with the buffer.
  void Free() { inUse_ = false; }

  OBS* get() const { return inUse_ ? memory_.get() : nullptr; }

 private:
  // Gives memory back with the alignment it was obtained with.
  struct Release {
    std::size_t alignment;
    void operator()(OBS* memory) const {
      ::operator delete(memory, std::align_val_t(alignment));
    }
  };

  std::unique_ptr<OBS, Release> memory_{nullptr, Release{alignof(OBS)}};
  std::uint64_t capacity_ = 0;
  bool inUse_ = false;
};

}  // namespace isort
