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
// file, after 8 s without a sort: run formation 1991-2149 ms without it,
// 1602-1925 ms with it; the first batch loads in 153-165 ms against
// 269-340; W2 867-1119 against 725-791 ms.
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

  // How far the helper may run ahead of the loader in the first area: a
  // batch that the input ends early, or a budget far above the data, should
  // not have memory faulted in that no row will use. W1 records fill 32 MB in
  // about 60 ms; cold memory faults in at about 0.65 GB/s.
  static constexpr std::size_t kLead = std::size_t{32} << 20;

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
  // Waits until the helper has faulted in both areas completely; the loader
  // must have reached the end of the first area less kLead.
  void Finish();

  bool Running() const { return helper_.joinable(); }

 private:
  void FaultIn(Area first, Area second);

  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> reached_{0};
  std::thread helper_;
};

}  // namespace isort
