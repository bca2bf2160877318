// The parallel batch driver: one part per thread, the calling thread running
// the first part itself.
//
// One mutex serialises everything that touches the problem's shared state:
// LoadBatch (the single row source and the batch numbering), Combine and part
// destruction. ProcessBatch runs outside it, so one part sorts and writes its
// batch while another part loads the next one.
//
// Failure road: the first exception that leaves a part operation is kept and
// stops the run. Every part checks the stop at its batch boundaries (before
// each LoadBatch and each ProcessBatch), so a part that is busy finishes its
// current operation and then leaves its loop. Parts are destroyed whether or
// not anything failed; after all threads are joined the kept exception is
// raised again on the calling thread.
//
// No Combine after a failure: Combine completes a part's contribution to a
// result that the caller will not use once the run has failed, and a part
// stopped between batches has not reached its last batch, which is what
// Combine expects. A part whose Combine ran before the failure keeps it.
#include "mtxp/Driver.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace mtxp {

ProblemPartBase::~ProblemPartBase() = default;

ProblemBase::~ProblemBase() = default;

namespace {

using PartSlot = std::unique_ptr<ProblemPartBase>;

// Makes `count` parts on the calling thread. If MakePart throws, the parts
// made so far are destroyed as the vector unwinds; no thread exists yet.
std::vector<PartSlot> MakeParts(ProblemBase& problem, int count) {
  std::vector<PartSlot> parts;
  parts.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    PartSlot part(problem.MakePart());
    parts.push_back(std::move(part));  // cannot throw: capacity is reserved
  }
  return parts;
}

// The shared state of one Driver call: the exclusion, the stop flag and the
// first failure.
class Run {
 public:
  // Runs one part to its end and destroys it; never throws. The slot is
  // emptied under the exclusion.
  void RunPart(PartSlot& part) noexcept {
    ProblemPartBase& batches = *part;
    while (LoadExclusively(batches)) {
      if (!ProcessUnlessStopped(batches)) break;
    }
    CombineUnlessStopped(batches);
    DestroyExclusively(part);
  }

  // Keeps `failure` if it is the first one and stops all parts.
  void Fail(std::exception_ptr failure) noexcept {
    {
      std::lock_guard<std::mutex> lock(failureMutex_);
      if (!failure_) failure_ = std::move(failure);
    }
    stopped_.store(true, std::memory_order_release);
  }

  // Raises the kept failure, if any. Call only after every thread is joined.
  void RethrowFailure() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  bool Stopped() const { return stopped_.load(std::memory_order_acquire); }

  // Runs `operation` and returns its result; records an exception that leaves
  // it and returns false. An exclusive operation records its failure before
  // it gives up the exclusion, so no other part loads after a failed load.
  template <typename Operation>
  bool Attempt(Operation operation) noexcept {
    try {
      return operation();
    } catch (...) {
      Fail(std::current_exception());
      return false;
    }
  }

  // True when a batch was loaded and the part should process it.
  bool LoadExclusively(ProblemPartBase& part) {
    std::lock_guard<std::mutex> lock(exclusive_);
    return !Stopped() && Attempt([&part] { return part.LoadBatch(); });
  }

  // True when the batch was processed and the part may load the next one.
  bool ProcessUnlessStopped(ProblemPartBase& part) {
    return !Stopped() && Attempt([&part] {
      part.ProcessBatch();
      return true;
    });
  }

  void CombineUnlessStopped(ProblemPartBase& part) {
    std::lock_guard<std::mutex> lock(exclusive_);
    if (Stopped()) return;
    Attempt([&part] {
      part.Combine();
      return true;
    });
  }

  void DestroyExclusively(PartSlot& part) noexcept {
    std::lock_guard<std::mutex> lock(exclusive_);
    part.reset();
  }

  std::mutex exclusive_;  // LoadBatch, Combine and part destruction
  std::atomic<bool> stopped_{false};
  std::mutex failureMutex_;
  std::exception_ptr failure_;  // guarded by failureMutex_
};

// Starts a thread for each part but the first. A thread that cannot be
// started fails the run; its part (and those after it) stay in their slots
// for the caller to destroy.
std::vector<std::thread> StartWorkers(Run& run, std::vector<PartSlot>& parts) {
  std::vector<std::thread> workers;
  try {
    workers.reserve(parts.size() - 1);
    for (std::size_t i = 1; i < parts.size(); ++i) {
      PartSlot* slot = &parts[i];
      workers.emplace_back([&run, slot] { run.RunPart(*slot); });
    }
  } catch (...) {
    run.Fail(std::current_exception());
  }
  return workers;
}

}  // namespace

void Driver(ProblemBase* problem, int threads) {
  std::vector<PartSlot> parts = MakeParts(*problem, std::max(threads, 1));
  Run run;
  std::vector<std::thread> workers = StartWorkers(run, parts);
  run.RunPart(parts.front());
  for (std::thread& worker : workers) worker.join();
  // Parts whose thread never started; no other thread is left to race with.
  parts.clear();
  run.RethrowFailure();
}

}  // namespace mtxp
