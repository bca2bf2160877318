// Tests of the parallel batch driver with an instrumented problem. The parts
// check the driver's order and exclusion as they are called and note every
// breach; the test then looks at what was noted and at what was left over.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mtxp/Driver.h"
#include "vorn/Errors.h"

namespace {

using std::chrono::microseconds;

struct Plan {
  int batches = 200;              // batches the row source yields
  int rounds = 1;                 // runs of the same plan
  microseconds pause{0};          // spent inside every operation
  bool waitForOverlap = false;    // the first ProcessBatch waits to see other work
  int failMake = -1;              // this MakePart call throws
  int failLoad = -1;              // LoadBatch throws instead of loading this batch
  int failProcess = -1;           // ProcessBatch of this batch throws
  int failCombine = -1;           // Combine of this part throws
  bool failEveryProcess = false;  // ProcessBatch of batch b throws after (b+1)*40 ms
};

enum class State { kMade, kLoaded, kProcessed, kFinished, kCombined, kDestroyed };

struct Record {
  State state = State::kMade;
  std::vector<int> processed;  // batch numbers, in the order processed
  int destroyed = 0;
  State destroyedIn = State::kMade;
};

// The problem; its parts report breaches as they see them. `nextBatch` is
// touched only by LoadBatch, without a lock: a driver that let two loads
// overlap hands out a batch twice (and ThreadSanitizer sees the race).
struct Probe : mtxp::ProblemBase {
  explicit Probe(Plan p) : plan(p) {}
  mtxp::ProblemPartBase* MakePart() override;

  // Moves part `id` to `to`; a breach unless it was in one of `from` (if any).
  void Step(int id, std::initializer_list<State> from, State to, const char* what,
            int batch = -1) {
    std::lock_guard<std::mutex> lock(mutex);
    Record& part = parts[static_cast<std::size_t>(id)];
    if (from.size() > 0 &&
        std::find(from.begin(), from.end(), part.state) == from.end()) {
      ADD_FAILURE() << what << " of part " << id << " out of order";  // thread-safe
    }
    if (to == State::kDestroyed) ++part.destroyed, part.destroyedIn = part.state;
    if (batch >= 0) part.processed.push_back(batch);
    part.state = to;
  }
  [[noreturn]] void Throw(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    thrown.push_back(what);
    failed = true;
    throw ErrorText(what, ErrorText::kHost, 42);
  }

  const Plan plan;
  int nextBatch = 0;
  std::atomic<int> running{0}, exclusive{0}, processedAfterFailure{0};
  std::atomic<bool> overlapSeen{false}, waited{false}, failed{false};
  std::mutex mutex;
  std::vector<Record> parts;
  std::vector<std::string> thrown;
};

class Part : public mtxp::ProblemPartBase {
 public:
  Part(Probe& probe, int id) : probe_(probe), id_(id) {}

  bool LoadBatch() override {
    const Operation operation(probe_, true);
    batch_ = probe_.nextBatch;
    const bool more = batch_ < probe_.plan.batches;
    if (more && batch_ == probe_.plan.failLoad) {
      probe_.Throw("LoadBatch " + std::to_string(batch_));
    }
    probe_.Step(id_, {State::kMade, State::kProcessed},
                more ? State::kLoaded : State::kFinished, "LoadBatch");
    probe_.nextBatch = batch_ + (more ? 1 : 0);
    return more;
  }

  void ProcessBatch() override {
    const Operation operation(probe_, false);
    const Plan& plan = probe_.plan;
    if (probe_.failed) ++probe_.processedAfterFailure;
    // The first one waits up to 2 s for another part to be at work.
    for (int i = 0; i < 40000 && plan.waitForOverlap && !probe_.waited; ++i) {
      if (probe_.running >= 2) break;
      std::this_thread::sleep_for(microseconds(50));
    }
    if (probe_.running >= 2) probe_.overlapSeen = true;
    probe_.waited = true;
    if (plan.failEveryProcess || batch_ == plan.failProcess) {
      std::this_thread::sleep_for(microseconds(plan.failEveryProcess ? 40000 : 0) *
                                  (batch_ + 1));
      probe_.Throw("ProcessBatch " + std::to_string(batch_));
    }
    probe_.Step(id_, {State::kLoaded}, State::kProcessed, "ProcessBatch", batch_);
  }

  void Combine() override {
    const Operation operation(probe_, true);
    probe_.Step(id_, {State::kFinished}, State::kCombined, "Combine");
    if (id_ == probe_.plan.failCombine) probe_.Throw("Combine " + std::to_string(id_));
  }

  ~Part() override {
    const Operation operation(probe_, true);
    probe_.Step(id_, {}, State::kDestroyed, "destruction");
  }

 private:
  // Scope of one operation. All but ProcessBatch must run alone.
  struct Operation {
    Operation(Probe& p, bool alone) : probe(p), exclusive(alone) {
      ++probe.running;
      if (exclusive && probe.exclusive++ != 0) {
        ADD_FAILURE() << "LoadBatch, Combine or destruction overlap";
      }
      std::this_thread::sleep_for(probe.plan.pause);
    }
    ~Operation() {
      if (exclusive) --probe.exclusive;
      --probe.running;
    }
    Probe& probe;
    const bool exclusive;
  };

  Probe& probe_;
  const int id_;
  int batch_ = -1;
};

mtxp::ProblemPartBase* Probe::MakePart() {
  std::unique_lock<std::mutex> lock(mutex);
  if (static_cast<int>(parts.size()) == plan.failMake) lock.unlock(), Throw("MakePart");
  parts.emplace_back();
  return new Part(*this, static_cast<int>(parts.size()) - 1);
}

struct Case {
  const char* name;
  int threads;
  void (*arrange)(Plan&);
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class DriverCases : public ::testing::TestWithParam<Case> {};

// Without failures: every batch once, then one Combine per part, then its
// destruction; many short batches on many threads, again and again, give the
// exclusion many chances to fail (and ThreadSanitizer to see it). With one:
// the first error reaches the caller whole, the run stops, no part combines
// after it. Either way every part made is destroyed once and no thread is left.
TEST_P(DriverCases, OrderExclusionAndCleanEnd) {
  Plan plan;
  GetParam().arrange(plan);
  const bool fails = plan.failMake >= 0 || plan.failLoad >= 0 || plan.failProcess >= 0 ||
                     plan.failCombine >= 0 || plan.failEveryProcess;
  // Operations far slower than raising an exception, so that the run's stop
  // can be timed in batches.
  if (fails) plan.pause = microseconds(200);
  for (int round = 0; round < plan.rounds; ++round) {
    Probe probe(plan);
    const auto threads = [] {
      std::filesystem::directory_iterator tasks("/proc/self/task");
      return std::distance(begin(tasks), end(tasks));
    };
    std::thread([] {}).join();  // counts a sanitizer's helper thread before as after
    const auto threadsBefore = threads();
    std::string raised;
    try {
      mtxp::Driver(&probe, GetParam().threads);
    } catch (const ErrorText& error) {
      raised = error.Text();
      EXPECT_EQ(error.Kind(), ErrorText::kHost);
      EXPECT_EQ(error.Detail(), 42);
    }
    // A joined thread leaves the kernel's list a moment after the join.
    for (int i = 0; i < 1000 && threads() > threadsBefore; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_LE(threads(), threadsBefore) << "a thread outlived the call";
    const int made = plan.failMake >= 0 ? plan.failMake : std::max(GetParam().threads, 1);
    EXPECT_EQ(static_cast<int>(probe.parts.size()), made);
    std::size_t processed = 0;  // a batch processed twice was loaded twice
    for (const Record& part : probe.parts) {
      EXPECT_EQ(part.destroyed, 1);
      EXPECT_TRUE(std::is_sorted(part.processed.begin(), part.processed.end()));
      processed += part.processed.size();
      // Every part combined, unless a part failed: then none after it.
      const bool combined = part.destroyedIn == State::kCombined;
      EXPECT_TRUE(combined != fails || plan.failCombine >= 0) << "combined: " << combined;
    }
    EXPECT_TRUE(probe.overlapSeen || !plan.waitForOverlap) << "ProcessBatch ran alone";
    if (!fails) {
      EXPECT_EQ(raised, "");
      EXPECT_EQ(processed, static_cast<std::size_t>(plan.batches));
    } else {
      ASSERT_FALSE(probe.thrown.empty());
      EXPECT_EQ(raised, probe.thrown.front());
      EXPECT_EQ(probe.thrown.size() >= 2, plan.failEveryProcess)
          << "several failures wanted";
      // Each other part may be busy with one batch when the failure comes.
      EXPECT_LE(probe.processedAfterFailure, 2 * made) << "the run did not stop";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Driver, DriverCases,
    ::testing::Values(
        Case{"NoThreadsRunOnePart", -3, [](Plan& p) { p.batches = 5; }},
        Case{"OneThread", 1, [](Plan& p) { p.pause = microseconds(100); }},
        Case{"ThreeThreads", 3, [](Plan& p) { p.pause = microseconds(200); }},
        Case{"EmptySource", 4, [](Plan& p) { p.batches = 0; }},
        Case{"ManyShortBatches", 8, [](Plan& p) { p.batches = 300, p.rounds = 20; }},
        Case{"ProcessOverlaps", 2,
             [](Plan& p) { p.pause = microseconds(500), p.waitForOverlap = true; }},
        Case{"FailMakePart", 6, [](Plan& p) { p.failMake = 3; }},
        Case{"FailFirstLoad", 3, [](Plan& p) { p.failLoad = 0; }},
        Case{"FailLoad", 4, [](Plan& p) { p.failLoad = 7; }},
        Case{"FailFirstProcess", 3, [](Plan& p) { p.failProcess = 0; }},
        Case{"FailProcess", 2, [](Plan& p) { p.failProcess = 7; }},
        Case{"FailCombine", 4, [](Plan& p) { p.batches = 12, p.failCombine = 1; }},
        Case{"FailEveryProcess", 3,
             [](Plan& p) { p.batches = 10, p.failEveryProcess = true; }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
