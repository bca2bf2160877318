// Tests of the parallel batch driver with an instrumented problem. The parts
// check the driver's order and exclusion as they are called and note every
// breach; the tests then look at what was noted and at what was left over.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mtxp/Driver.h"
#include "vorn/Errors.h"

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

// Threads of this process, counted from the kernel's list.
int ThreadsOfThisProcess() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++count;
  }
  return count;
}

// The count to compare with after a Driver call. A sanitizer runtime starts a
// helper thread of its own when the process starts its first thread; one
// thread started and joined first makes sure that helper is counted here too.
int ThreadsBeforeDriver() {
  std::thread([] {}).join();
  return ThreadsOfThisProcess();
}

struct ProbeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What a probe does besides counting: the size of its row source, how long
// each operation takes, and where it fails.
struct ProbeSetup {
  int batches = 20;               // batches the row source yields
  microseconds loadTime{0};       // spent inside each LoadBatch
  microseconds processTime{0};    // spent inside each ProcessBatch
  microseconds exclusiveTail{0};  // spent inside each Combine and destructor
  // The first ProcessBatch waits until it sees another part at work.
  bool waitForOverlap = false;
  int failLoadOfBatch = -1;     // LoadBatch throws instead of loading this batch
  int failProcessOfBatch = -1;  // ProcessBatch of this batch throws
  int failCombineOfPart = -1;   // Combine of this part throws
  int failMakePartAt = -1;      // this MakePart call throws std::bad_alloc
  bool throwErrorText = false;  // the failures above throw ErrorText instead
  // Every ProcessBatch waits (batch + 1) times this long and then throws.
  milliseconds failEveryProcessAfter{0};
};

enum class State { kMade, kLoaded, kProcessed, kFinished, kCombined };

// What the probe remembers about one part.
struct PartRecord {
  State state = State::kMade;
  std::vector<int> processed;  // batch numbers, in the order processed
  int loadCalls = 0;
  int combineCalls = 0;
  int destroyCalls = 0;
  State stateWhenDestroyed = State::kMade;
};

class Probe;

class ProbePart : public mtxp::ProblemPartBase {
 public:
  ProbePart(Probe& probe, int id) : probe_(probe), id_(id) {}
  ~ProbePart() override;
  bool LoadBatch() override;
  void ProcessBatch() override;
  void Combine() override;

 private:
  Probe& probe_;
  const int id_;
  int batch_ = -1;
};

// The problem. Its counters are atomics or guarded by `mutex_`, except
// `nextBatch_`, which only LoadBatch touches: a driver that let two loads
// overlap would hand out a batch number twice (and ThreadSanitizer would see
// the race).
class Probe : public mtxp::ProblemBase {
 public:
  explicit Probe(ProbeSetup setup) : setup_(setup) {}

  mtxp::ProblemPartBase* MakePart() override {
    std::lock_guard<std::mutex> lock(mutex_);
    const int id = static_cast<int>(parts_.size());
    if (id == setup_.failMakePartAt) throw std::bad_alloc();
    parts_.emplace_back();
    return new ProbePart(*this, id);
  }

  enum class Kind { kLoadBatch, kProcessBatch, kCombine, kDestruction };

  // Scope of one operation of a part. Work (every operation but destruction)
  // counts as running and, once a failure was thrown, as started after it.
  // An exclusive operation (all but ProcessBatch) checks that it is alone.
  class Operation {
   public:
    Operation(Probe& probe, Kind kind)
        : probe_(probe),
          exclusive_(kind != Kind::kProcessBatch),
          work_(kind != Kind::kDestruction) {
      if (work_) {
        if (probe_.failureThrown_.load()) probe_.startedAfterFailure_.fetch_add(1);
        probe_.running_.fetch_add(1);
      }
      if (exclusive_ && probe_.exclusiveRunning_.fetch_add(1) != 0) {
        probe_.Breach(std::string(Name(kind)) +
                      " overlaps another LoadBatch, Combine or destruction");
      }
    }
    ~Operation() {
      if (exclusive_) probe_.exclusiveRunning_.fetch_sub(1);
      if (work_) probe_.running_.fetch_sub(1);
    }

   private:
    static const char* Name(Kind kind) {
      switch (kind) {
        case Kind::kLoadBatch:
          return "LoadBatch";
        case Kind::kProcessBatch:
          return "ProcessBatch";
        case Kind::kCombine:
          return "Combine";
        case Kind::kDestruction:
          break;
      }
      return "destruction";
    }

    Probe& probe_;
    const bool exclusive_;
    const bool work_;
  };

  // Called during a ProcessBatch: true, and noted, when another part is in
  // the middle of an operation too.
  bool SeesOtherWork() {
    if (running_.load() < 2) return false;
    overlapSeen_.store(true);
    return true;
  }

  void Breach(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    breaches_.push_back(what);
  }

  [[noreturn]] void Throw(const std::string& what) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      thrown_.push_back(what);
    }
    failureThrown_.store(true);
    if (setup_.throwErrorText) throw ErrorText(what, ErrorText::kHost, 42);
    throw ProbeError(what);
  }

  // Runs `change` on part `id`'s record under the probe's lock.
  template <typename Change>
  void WithRecord(int id, Change change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(parts_[static_cast<std::size_t>(id)]);
  }

  // The driver's side of the test; the tests read these after Driver returns.
  const ProbeSetup& setup() const { return setup_; }
  const std::vector<PartRecord>& parts() const { return parts_; }
  const std::vector<std::string>& breaches() const { return breaches_; }
  const std::vector<std::string>& thrown() const { return thrown_; }
  int startedAfterFailure() const { return startedAfterFailure_.load(); }
  bool overlapSeen() const { return overlapSeen_.load(); }

 private:
  friend class ProbePart;

  const ProbeSetup setup_;
  int nextBatch_ = 0;  // only LoadBatch touches it
  std::atomic<int> running_{0};
  std::atomic<int> exclusiveRunning_{0};
  std::atomic<bool> failureThrown_{false};
  std::atomic<int> startedAfterFailure_{0};
  std::atomic<bool> overlapSeen_{false};
  std::atomic<bool> waitedForOverlap_{false};  // only the first ProcessBatch waits
  std::mutex mutex_;
  std::vector<PartRecord> parts_;
  std::vector<std::string> breaches_;
  std::vector<std::string> thrown_;
};

bool ProbePart::LoadBatch() {
  Probe::Operation operation(probe_, Probe::Kind::kLoadBatch);
  State before = State::kMade;
  probe_.WithRecord(id_, [&](PartRecord& record) {
    before = record.state;
    ++record.loadCalls;
  });
  if (before != State::kMade && before != State::kProcessed) {
    probe_.Breach("LoadBatch of part " + std::to_string(id_) +
                  " before the previous batch was processed, or after false");
  }
  const int number = probe_.nextBatch_;
  if (number >= probe_.setup().batches) {
    probe_.WithRecord(id_, [](PartRecord& record) { record.state = State::kFinished; });
    return false;
  }
  if (number == probe_.setup().failLoadOfBatch) {
    probe_.Throw("LoadBatch of batch " + std::to_string(number));
  }
  std::this_thread::sleep_for(probe_.setup().loadTime);
  probe_.nextBatch_ = number + 1;
  batch_ = number;
  probe_.WithRecord(id_, [](PartRecord& record) { record.state = State::kLoaded; });
  return true;
}

void ProbePart::ProcessBatch() {
  Probe::Operation operation(probe_, Probe::Kind::kProcessBatch);
  State before = State::kMade;
  probe_.WithRecord(id_, [&](PartRecord& record) { before = record.state; });
  if (before != State::kLoaded) {
    probe_.Breach("ProcessBatch of part " + std::to_string(id_) +
                  " without a loaded batch");
  }
  const ProbeSetup& setup = probe_.setup();
  if (setup.waitForOverlap && !probe_.waitedForOverlap_.exchange(true)) {
    // Another part can load while this one processes; wait for it to start.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!probe_.SeesOtherWork() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(microseconds(50));
    }
  }
  std::this_thread::sleep_for(setup.processTime);
  probe_.SeesOtherWork();
  if (setup.failEveryProcessAfter.count() > 0) {
    std::this_thread::sleep_for(setup.failEveryProcessAfter * (batch_ + 1));
    probe_.Throw("ProcessBatch of batch " + std::to_string(batch_));
  }
  if (batch_ == setup.failProcessOfBatch) {
    probe_.Throw("ProcessBatch of batch " + std::to_string(batch_));
  }
  probe_.WithRecord(id_, [&](PartRecord& record) {
    record.state = State::kProcessed;
    record.processed.push_back(batch_);
  });
}

void ProbePart::Combine() {
  Probe::Operation operation(probe_, Probe::Kind::kCombine);
  State before = State::kMade;
  probe_.WithRecord(id_, [&](PartRecord& record) {
    before = record.state;
    ++record.combineCalls;
  });
  if (before != State::kFinished) {
    probe_.Breach("Combine of part " + std::to_string(id_) +
                  " before LoadBatch returned false");
  }
  std::this_thread::sleep_for(probe_.setup().exclusiveTail);
  if (id_ == probe_.setup().failCombineOfPart) {
    probe_.Throw("Combine of part " + std::to_string(id_));
  }
  probe_.WithRecord(id_, [](PartRecord& record) { record.state = State::kCombined; });
}

ProbePart::~ProbePart() {
  Probe::Operation operation(probe_, Probe::Kind::kDestruction);
  std::this_thread::sleep_for(probe_.setup().exclusiveTail);
  probe_.WithRecord(id_, [](PartRecord& record) {
    ++record.destroyCalls;
    record.stateWhenDestroyed = record.state;
  });
}

int Threads(int requested) { return std::max(requested, 1); }

// Runs the driver; the text of the ProbeError it raised, or nothing when it
// returned normally. Any other exception passes to the test.
std::optional<std::string> ProbeErrorOf(Probe& probe, int threads) {
  try {
    mtxp::Driver(&probe, threads);
  } catch (const ProbeError& error) {
    return std::string(error.what());
  }
  return std::nullopt;
}

// Operations that another part may start in the moment between a failure and
// the driver's stop: a part notices the stop at its next batch boundary, so
// each other part can at most be entering one operation then. Twice that
// leaves room for a slow unwinding; a driver that does not stop goes on for
// thousands of batches.
int StartsAllowedAfterFailure(int threads) { return 2 * (threads - 1); }

void ExpectEveryPartDestroyedOnce(const Probe& probe) {
  for (std::size_t i = 0; i < probe.parts().size(); ++i) {
    EXPECT_EQ(probe.parts()[i].destroyCalls, 1) << "part " << i;
  }
}

void ExpectNoBreaches(const Probe& probe) {
  for (const std::string& breach : probe.breaches()) ADD_FAILURE() << breach;
}

// Every batch of the source processed exactly once, each part's in load order.
void ExpectEveryBatchProcessedOnce(const Probe& probe) {
  std::vector<int> all;
  for (const PartRecord& part : probe.parts()) {
    EXPECT_TRUE(std::is_sorted(part.processed.begin(), part.processed.end()));
    all.insert(all.end(), part.processed.begin(), part.processed.end());
  }
  std::sort(all.begin(), all.end());
  std::vector<int> expected(static_cast<std::size_t>(probe.setup().batches));
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int>(i);
  EXPECT_EQ(all, expected);
}

int TotalProcessed(const Probe& probe) {
  int total = 0;
  for (const PartRecord& part : probe.parts())
    total += static_cast<int>(part.processed.size());
  return total;
}

int TotalCombines(const Probe& probe) {
  int total = 0;
  for (const PartRecord& part : probe.parts()) total += part.combineCalls;
  return total;
}

class DriverThreads : public ::testing::TestWithParam<int> {};

TEST_P(DriverThreads, RunsEveryBatchOnceThenCombinesAndDestroysEveryPart) {
  ProbeSetup setup;
  setup.batches = 40;
  setup.loadTime = microseconds(100);
  setup.processTime = microseconds(300);
  setup.exclusiveTail = microseconds(200);
  Probe probe(setup);
  const int threadsBefore = ThreadsBeforeDriver();

  mtxp::Driver(&probe, GetParam());

  EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore);
  ASSERT_EQ(static_cast<int>(probe.parts().size()), Threads(GetParam()));
  ExpectNoBreaches(probe);
  ExpectEveryBatchProcessedOnce(probe);
  ExpectEveryPartDestroyedOnce(probe);
  for (const PartRecord& part : probe.parts()) {
    EXPECT_EQ(part.combineCalls, 1);
    EXPECT_EQ(part.stateWhenDestroyed, State::kCombined);
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, DriverThreads, ::testing::Values(1, 2, 3, 8),
                         [](const auto& info) {
                           return "Threads" + std::to_string(info.param);
                         });

TEST(Driver, ThreadCountBelowOneRunsOnePart) {
  for (int threads : {0, -3}) {
    SCOPED_TRACE(threads);
    ProbeSetup setup;
    setup.batches = 5;
    Probe probe(setup);
    mtxp::Driver(&probe, threads);
    ASSERT_EQ(probe.parts().size(), 1u);
    EXPECT_EQ(probe.parts()[0].processed, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(probe.parts()[0].combineCalls, 1);
    ExpectEveryPartDestroyedOnce(probe);
    ExpectNoBreaches(probe);
  }
}

TEST(Driver, EmptySourceStillCombinesAndDestroysEveryPart) {
  ProbeSetup setup;
  setup.batches = 0;
  Probe probe(setup);
  mtxp::Driver(&probe, 4);
  ASSERT_EQ(probe.parts().size(), 4u);
  ExpectNoBreaches(probe);
  for (const PartRecord& part : probe.parts()) {
    EXPECT_EQ(part.loadCalls, 1);
    EXPECT_TRUE(part.processed.empty());
    EXPECT_EQ(part.combineCalls, 1);
  }
  ExpectEveryPartDestroyedOnce(probe);
}

TEST(Driver, ProcessBatchRunsWhileAnotherPartWorks) {
  ProbeSetup setup;
  setup.batches = 10;
  setup.loadTime = microseconds(500);
  setup.waitForOverlap = true;
  Probe probe(setup);
  mtxp::Driver(&probe, 2);
  EXPECT_TRUE(probe.overlapSeen());
  ExpectNoBreaches(probe);
  ExpectEveryBatchProcessedOnce(probe);
}

// Many short batches on many threads, again and again: gives the exclusion
// and the hand-over of parts many chances to go wrong (and ThreadSanitizer
// many chances to see it).
TEST(Driver, ManyShortBatchesOnManyThreads) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    ProbeSetup setup;
    setup.batches = 300;
    Probe probe(setup);
    mtxp::Driver(&probe, 8);
    ExpectNoBreaches(probe);
    ExpectEveryBatchProcessedOnce(probe);
    ExpectEveryPartDestroyedOnce(probe);
  }
}

// A failing operation of one part, with several threads. The source is far
// longer than the run gets, so only the failure can end it.
struct FailureCase {
  const char* name;
  int threads;
  void (*arrange)(ProbeSetup&);
};

class DriverFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(DriverFailure, RaisesOnCallerStopsBatchesAndDestroysEveryPart) {
  const int threads = GetParam().threads;
  ProbeSetup setup;
  setup.batches = 100000;
  setup.loadTime = microseconds(1000);
  setup.processTime = microseconds(2000);
  GetParam().arrange(setup);
  Probe probe(setup);
  const int threadsBefore = ThreadsBeforeDriver();

  const std::optional<std::string> raised = ProbeErrorOf(probe, threads);

  ASSERT_TRUE(raised.has_value()) << "Driver returned normally";
  ASSERT_EQ(probe.thrown().size(), 1u);
  EXPECT_EQ(*raised, probe.thrown()[0]);
  EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore);
  ASSERT_EQ(static_cast<int>(probe.parts().size()), threads);
  ExpectNoBreaches(probe);
  ExpectEveryPartDestroyedOnce(probe);
  EXPECT_LE(probe.startedAfterFailure(), StartsAllowedAfterFailure(threads));
  EXPECT_LT(TotalProcessed(probe), 100);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, DriverFailure,
    ::testing::Values(FailureCase{"LoadBatchOf2Threads", 2,
                                  [](ProbeSetup& s) { s.failLoadOfBatch = 7; }},
                      FailureCase{"LoadBatchOf4Threads", 4,
                                  [](ProbeSetup& s) { s.failLoadOfBatch = 7; }},
                      FailureCase{"ProcessBatchOf2Threads", 2,
                                  [](ProbeSetup& s) { s.failProcessOfBatch = 7; }},
                      FailureCase{"ProcessBatchOf4Threads", 4,
                                  [](ProbeSetup& s) { s.failProcessOfBatch = 7; }},
                      FailureCase{"FirstLoadBatchOf3Threads", 3,
                                  [](ProbeSetup& s) { s.failLoadOfBatch = 0; }},
                      FailureCase{"FirstProcessBatchOf3Threads", 3,
                                  [](ProbeSetup& s) { s.failProcessOfBatch = 0; }}),
    [](const auto& info) { return std::string(info.param.name); });

// No part combines once the run has failed: the stopped parts never reached
// their last batch.
TEST(Driver, NoCombineAfterAFailure) {
  for (int threads : {2, 4}) {
    SCOPED_TRACE(threads);
    ProbeSetup setup;
    setup.batches = 100000;
    setup.processTime = microseconds(200);
    setup.failProcessOfBatch = 5;
    Probe probe(setup);
    EXPECT_TRUE(ProbeErrorOf(probe, threads).has_value());
    EXPECT_EQ(TotalCombines(probe), 0);
    ExpectEveryPartDestroyedOnce(probe);
  }
}

TEST(Driver, CombineFailureRaisesOnCallerAndDestroysEveryPart) {
  ProbeSetup setup;
  setup.batches = 12;
  setup.processTime = microseconds(200);
  setup.failCombineOfPart = 1;
  Probe probe(setup);
  const int threadsBefore = ThreadsBeforeDriver();
  EXPECT_EQ(ProbeErrorOf(probe, 4), "Combine of part 1");
  EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore);
  ASSERT_EQ(probe.parts().size(), 4u);
  ASSERT_EQ(probe.thrown(), (std::vector<std::string>{"Combine of part 1"}));
  EXPECT_EQ(probe.parts()[1].combineCalls, 1);
  ExpectNoBreaches(probe);
  ExpectEveryPartDestroyedOnce(probe);
  EXPECT_LE(probe.startedAfterFailure(), StartsAllowedAfterFailure(4));
}

TEST(Driver, ErrorTextArrivesWhole) {
  ProbeSetup setup;
  setup.batches = 100000;
  setup.failProcessOfBatch = 3;
  setup.throwErrorText = true;
  Probe probe(setup);
  try {
    mtxp::Driver(&probe, 3);
    FAIL() << "Driver returned normally";
  } catch (const ErrorText& error) {
    EXPECT_EQ(error.Text(), "ProcessBatch of batch 3");
    EXPECT_EQ(error.Kind(), ErrorText::kHost);
    EXPECT_EQ(error.Detail(), 42);
  }
  ExpectEveryPartDestroyedOnce(probe);
}

// Every batch fails, later batches later: the caller gets the earliest.
TEST(Driver, KeepsTheFirstOfSeveralFailures) {
  ProbeSetup setup;
  setup.batches = 100000;
  setup.failEveryProcessAfter = milliseconds(40);
  Probe probe(setup);
  EXPECT_EQ(ProbeErrorOf(probe, 3), "ProcessBatch of batch 0");
  EXPECT_GE(probe.thrown().size(), 2u) << "only one part failed; nothing to choose from";
  ExpectEveryPartDestroyedOnce(probe);
}

TEST(Driver, MakePartFailureDestroysThePartsMadeAndPropagates) {
  ProbeSetup setup;
  setup.failMakePartAt = 3;
  Probe probe(setup);
  const int threadsBefore = ThreadsBeforeDriver();
  EXPECT_THROW(mtxp::Driver(&probe, 6), std::bad_alloc);
  EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore);
  ASSERT_EQ(probe.parts().size(), 3u);
  ExpectEveryPartDestroyedOnce(probe);
  for (const PartRecord& part : probe.parts()) EXPECT_EQ(part.loadCalls, 0);
}

}  // namespace
