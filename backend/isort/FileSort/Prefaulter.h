// isort::Prefaulter: faults in a batch's memory on another core while the
// batch loads.
//
// Loading runs on one thread at a time: one part reads the row source while
// the others sort and write their batches or wait for it. Memory that the
// process has not touched lately costs about 1.5 ms a MB to fault in on our
// VMs (the host hands pages out lazily and takes freed ones back after a few
// seconds), and a W1 batch touches up to 250 MB, so faulting took half of a
// load. The helper does that faulting ahead of the loader; where no core is
// idle it does work that the loader would otherwise do itself. W1 from a
// file, after 8 s without a sort: run formation 1958-2308 ms without it,
// 1590-1851 ms with it; the first batch loads in 96-156 ms against 279-321.
//
// The helper asks the kernel to populate the pages (MADV_POPULATE_WRITE): it
// never writes a byte itself, so it cannot race with the loader's writes, and
// pages the loader has already touched are passed over cheaply. It cannot
// fail: where the kernel does not populate, the loader faults pages in itself.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>

namespace isort {

class Prefaulter {
 public:
  // A stretch of memory to fault in, from its start.
  struct Area {
    void* start = nullptr;
    std::size_t bytes = 0;
  };

  Prefaulter() = default;
  // Stops the helper.
  ~Prefaulter() { Stop(); }
  Prefaulter(const Prefaulter&) = delete;
  Prefaulter& operator=(const Prefaulter&) = delete;

  // The helper faults in the step (a huge page) after the one the loader is
  // in, and no further, so that a batch that the input ends early, or a
  // budget far above the data, has little memory faulted in that no row uses
  // (and GiveBack returns even that). Where memory is cold the helper does
  // not get further ahead anyway (it faults in at about 0.65 GB/s, the
  // loader fills records and store faster); where it is warm, faulting is
  // cheap. A lead of 32 MB raised the peak of W2 from 265 to 388 MiB. In the
  // loader's own step both waited for the same pages: W1's first batch
  // loaded in 206-212 ms, against 96-156 ms a step ahead.
  static constexpr std::size_t kStep = std::size_t{2} << 20;

  // Starts faulting in both areas, step by step and side by side in
  // proportion to their sizes, so that both stay ahead of a loader that fills
  // them at the same relative pace. The areas must stay mapped until Stop.
  // Without a thread to run on (a limit of the system), nothing is faulted
  // in; std::bad_alloc passes.
  void Start(Area first, Area second);
  // The loader has filled the first `bytes` of the first area.
  void Reached(std::size_t bytes) { reached_.store(bytes, std::memory_order_relaxed); }
  // Stops the helper after its current step (at most a few ms) and waits for
  // it. Does nothing when it is not running.
  void Stop();
  // Stops the helper and gives the pages that it faulted in past the first
  // `first` and `second` bytes, which the loader used, back to the system,
  // from the huge page after the one that the loader ended in. So a batch
  // holds no more memory than it would have without a helper. `secondNow` is
  // where the second area lies now: a store that moved gives nothing back.
  void GiveBack(std::size_t first, std::size_t second, const void* secondNow);
  // Waits until the helper has faulted in both areas completely; the loader
  // must be at most a step short of the end of the first area.
  void Finish();

  bool Running() const { return helper_.joinable(); }

 private:
  void FaultIn();

  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> reached_{0};
  // The areas and how far the helper faulted them in; written by the helper,
  // read after it has been joined.
  Area areas_[2];
  std::size_t faultedIn_[2] = {0, 0};
  std::thread helper_;
};

}  // namespace isort
