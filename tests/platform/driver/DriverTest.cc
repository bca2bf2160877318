// The batch driver with an instrumented problem whose parts note their calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "mtxp/Driver.h"
#include "vorn/Errors.h"

namespace {

using std::chrono::microseconds;

struct Case {
  const char* name;
  int threads, batches, rounds, pause;  // pause: microseconds in every operation
  bool waitForOverlap;                  // the first ProcessBatch awaits other work
  char fail;  // what throws: 'M'akePart, 'L'oadBatch, 'P'rocessBatch or 'C'ombine
  int at;     // number `at`, or 'E'very ProcessBatch, batch b after (b+1)*40 ms
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// `nextBatch` is touched only by LoadBatch, without a lock, so that
// ThreadSanitizer sees loads that overlap. `calls` notes, per part, Load (l
// when none is left), Process, Combine and Destroy.
struct Probe : mtxp::ProblemBase {
  explicit Probe(const Case& c) : plan(c) {}
  mtxp::ProblemPartBase* MakePart() override;
  // Throws if the case fails operation `what` (named by its initial) number `n`.
  void MayFail(const char* what, int n) {
    if (plan.fail != what[0] && (plan.fail != 'E' || what[0] != 'P')) return;
    if (plan.fail != 'E' && n != plan.at) return;
    std::lock_guard<std::mutex> lock(mutex);
    thrown.push_back(what + std::to_string(n));
    failed = true;
    throw ErrorText(thrown.back(), ErrorText::kHost, 42);
  }

  const Case plan;
  int nextBatch = 0;
  std::atomic<int> running{0}, exclusive{0}, processedAfterFailure{0};
  std::atomic<bool> overlapSeen{false}, failed{false};
  std::mutex mutex;
  std::vector<std::string> calls;
  std::vector<std::string> thrown;
};

// Scope of one operation. All but ProcessBatch must run alone.
struct Operation {
  Operation(Probe& p, bool alone) : probe(p), exclusive(alone) {
    ++probe.running;
    if (exclusive && probe.exclusive++ != 0) {
      ADD_FAILURE() << "LoadBatch, Combine or destruction overlap";
    }
    std::this_thread::sleep_for(microseconds(probe.plan.pause));
  }
  ~Operation() {
    if (exclusive) --probe.exclusive;
    --probe.running;
  }
  Probe& probe;
  const bool exclusive;
};

struct Part : mtxp::ProblemPartBase {
  Part(Probe& p, int n) : probe(p), id(n) {}

  bool LoadBatch() override {
    const Operation operation(probe, true);
    batch = probe.nextBatch;
    const bool more = batch < probe.plan.batches;
    if (more) probe.MayFail("LoadBatch ", batch);
    probe.nextBatch = batch + (more ? 1 : 0);
    calls += more ? 'L' : 'l';
    return more;
  }

  void ProcessBatch() override {
    const Operation operation(probe, false);
    const Case& plan = probe.plan;
    if (probe.failed) ++probe.processedAfterFailure;
    // Waits up to 20 ms for another part to be at work.
    for (int i = 0; i < 400 && plan.waitForOverlap && probe.running < 2; ++i) {
      std::this_thread::sleep_for(microseconds(50));
    }
    if (probe.running >= 2) probe.overlapSeen = true;
    if (plan.fail == 'E') std::this_thread::sleep_for(microseconds(40000) * (batch + 1));
    probe.MayFail("ProcessBatch ", batch);
    calls += 'P';
  }

  void Combine() override {
    const Operation operation(probe, true);
    calls += 'C';
    probe.MayFail("Combine ", id);
  }

  ~Part() override {
    const Operation operation(probe, true);
    std::lock_guard<std::mutex> lock(probe.mutex);
    probe.calls[static_cast<std::size_t>(id)] += calls + 'D';
  }

  Probe& probe;
  const int id;
  int batch = -1;
  std::string calls;
};

mtxp::ProblemPartBase* Probe::MakePart() {
  std::unique_lock<std::mutex> lock(mutex);
  const int id = static_cast<int>(calls.size());
  if (plan.fail == 'M' && id == plan.at) lock.unlock(), MayFail("MakePart ", id);
  calls.emplace_back();
  return new Part(*this, id);
}

long Threads() {
  std::filesystem::directory_iterator tasks("/proc/self/task");
  return std::distance(begin(tasks), end(tasks));
}

class DriverCases : public ::testing::TestWithParam<Case> {};

// Every part is destroyed once, no thread is left. Without failures each part
// loads and processes in turn until no batch is left, then combines; after a
// failure the first error reaches the caller whole and the run stops.
TEST_P(DriverCases, OrderExclusionAndCleanEnd) {
  const Case& plan = GetParam();
  const std::regex calls(plan.fail == 0     ? "(LP)*lCD"
                         : plan.fail == 'C' ? "(LP)*(L|lC?)?D"
                                            : "(LP)*L?D");
  for (int round = 0; round < plan.rounds; ++round) {
    Probe probe(plan);
    std::thread([] {}).join();  // counts a sanitizer's helper thread before as after
    const long threadsBefore = Threads();
    std::string raised;
    try {
      mtxp::Driver(&probe, plan.threads);
    } catch (const ErrorText& error) {
      raised = error.Text();
      EXPECT_TRUE(error.Kind() == ErrorText::kHost && error.Detail() == 42);
    }
    // A joined thread leaves the kernel's list a moment after the join.
    for (int i = 0; i < 1000 && Threads() > threadsBefore; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_LE(Threads(), threadsBefore) << "a thread outlived the call";
    const int made = plan.fail == 'M' ? plan.at : std::max(plan.threads, 1);
    EXPECT_EQ(static_cast<int>(probe.calls.size()), made);
    for (const std::string& part : probe.calls) {
      EXPECT_TRUE(std::regex_match(part, calls)) << part;
    }
    EXPECT_TRUE(probe.overlapSeen || !plan.waitForOverlap) << "ProcessBatch ran alone";
    EXPECT_EQ(raised.empty(), plan.fail == 0) << raised;
    if (plan.fail == 0) continue;
    ASSERT_FALSE(probe.thrown.empty());
    EXPECT_EQ(raised, probe.thrown.front());
    EXPECT_EQ(probe.thrown.size() >= 2, plan.fail == 'E') << "several failures wanted";
    // Each other part may be busy with one batch when the failure comes.
    EXPECT_LE(probe.processedAfterFailure, 2 * made) << "the run did not stop";
  }
}

// Failing runs pause in operations, so that their stop can be counted in
// batches; many short batches, again and again, test the exclusion hard.
INSTANTIATE_TEST_SUITE_P(
    Driver, DriverCases,
    ::testing::Values(Case{"NoThreadsRunOnePart", -3, 5, 1, 0, false, 0, -1},
                      Case{"EmptySource", 4, 0, 1, 0, false, 0, -1},
                      Case{"ManyShortBatches", 8, 300, 20, 0, false, 0, -1},
                      Case{"ProcessOverlaps", 2, 200, 1, 500, true, 0, -1},
                      Case{"FailMakePart", 6, 200, 1, 200, false, 'M', 3},
                      Case{"FailFirstLoad", 3, 200, 1, 200, false, 'L', 0},
                      Case{"FailLoad", 4, 200, 1, 200, false, 'L', 7},
                      Case{"FailFirstProcess", 3, 200, 1, 200, false, 'P', 0},
                      Case{"FailProcess", 2, 200, 1, 200, false, 'P', 7},
                      Case{"FailCombine", 4, 12, 1, 200, false, 'C', 1},
                      Case{"FailEveryProcess", 3, 10, 1, 200, false, 'E', 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
