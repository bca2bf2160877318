// Faults seen from the host: every allocation of sortfile_ failing in turn,
// and callbacks or work files that fail, in a sort of one batch and in one of
// several runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "FailingAllocator.h"
#include "Host.h"
#include "TempDir.h"
#include "isort/SortFileSorter.h"
#include "TestHooks.h"
#include "vorn/Errors.h"

namespace isort::testing {
namespace {

namespace faults = platform::faults;

// The status (-1: an exception left), which exception, and standard error.
struct Outcome {
  INTEGER status = -1;
  std::string exception, reported;
};

// Sorts the host's rows; with `failingAllocation` not 0, that allocation of
// the call fails.
Outcome Sort(Host& host, std::uint64_t failingAllocation = 0) {
  Outcome outcome;
  ::testing::internal::CaptureStderr();
  try {
    AllocationFault fault(failingAllocation);
    outcome.status = host.Sort();
  } catch (const SortFileSorter::Error&) {
    outcome.exception = "refused";
  } catch (const std::exception& error) {
    outcome.exception = error.what();
  }
  outcome.reported = ::testing::internal::GetCapturedStderr();
  return outcome;
}

// 1 to 5 units and one key: one batch in the default budget.
DataSet SmallSet() {
  std::mt19937_64 random(71);
  return RandomDataSet(random, 300, DataSetShape{1, 5, 1, 1});
}

// Rows of 1000 incompressible units: the first batch of the default budget
// takes at most about 11000, so 12000 make runs that are merged.
DataSet WideSet() {
  DataSet set{1000, {{0, 1, 0}}, std::vector<OBS>(12000 * 1000)};
  std::mt19937_64 random(72);
  for (std::size_t u = 0; u < set.rows.size(); ++u) {
    set.rows[u] = u % 1000 == 0 ? static_cast<double>(random() % 50) : FromBits(random());
  }
  return set;
}

TEST(SortfileFaults, EveryAllocationFailsInTurn) {
  WorkDir dir;
  const DataSet set = SmallSet();
  const std::vector<OBS> expected = OracleSort(set);
  int outOfMemory = 0;
  for (std::uint64_t nth = 1; !HasFailure(); ++nth) {
    SCOPED_TRACE(::testing::Message() << "allocation " << nth);
    Host host(set);
    const Outcome outcome = Sort(host, nth);
    EXPECT_TRUE(dir.Clean());
    if (outcome.exception == std::bad_alloc().what()) {
      EXPECT_EQ(host.next, 0u) << "only while the key list is built, before the sort";
      continue;
    }
    EXPECT_EQ(outcome.exception, "");
    // Rows delivered before a failure came in order.
    EXPECT_EQ(FirstDifference({expected.begin(), expected.begin() + host.output.size()},
                              host.output, set.units), -1);
    if (outcome.status == 11) {
      ++outOfMemory;
      continue;
    }
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(host.output.size(), expected.size());
    if (!AllocationFailed()) break;
  }
  EXPECT_GT(outOfMemory, 10);
}

// Faults at the first, a middle and the last row. What the get callback throws
// gives a status, or (if foreign) reaches the host as a refused row's
// SortFileSorter::Error does; an ErrorText, or a work file the system refuses,
// is reported once. Rows before a refused one arrive in order; else none does.
TEST(SortfileFaults, CallbacksAndWorkFilesFailInOneBatchAndAcrossRuns) {
  WorkDir dir;
  auto get = [](std::function<void()> raise) {  // the get callback throws at row `at`
    return [raise](Host& host, std::size_t at) { host.getFailsAt = at; host.getFault = raise; };
  };
  const struct {
    std::function<void(Host&, std::size_t)> arm;
    INTEGER status;
    std::string exception, reported;
  } cases[] = {
      {get([] { throw ErrorText("the host's input failed", ErrorText::kHost, 7); }), 5, "",
       "the host's input failed"},
      {get([] { throw VornGoToCaller(); }), 14, "", ""},
      {get([] { throw std::bad_alloc(); }), 11, "", ""},
      {get([] { throw std::runtime_error("foreign"); }), -1, "foreign", ""},
      {[](Host& host, std::size_t at) { host.putResultAt = at; }, -1, "refused", ""},
      {[](Host&, std::size_t) { faults::FailNthFileCall(faults::FileCall::kCreate, 1, EMFILE); },
       5, "", std::strerror(EMFILE)}};
  for (const DataSet& set : {SmallSet(), WideSet()}) {
    const std::vector<OBS> expected = OracleSort(set);
    const std::size_t rows = set.RowCount();
    for (std::size_t at : {std::size_t{0}, rows / 2, rows - 1}) {
      for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << rows << " rows, case " << &c - cases << " at " << at);
        Host host(set);
        c.arm(host, at);
        const Outcome outcome = Sort(host);
        faults::ClearFileFaults();
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.exception, c.exception);
        EXPECT_EQ(host.flag10, c.status == -1 ? 77 : 0);  // set on every return
        // A report is one line.
        const auto lines = std::count(outcome.reported.begin(), outcome.reported.end(), '\n');
        EXPECT_EQ(lines, c.status == 5 ? 1 : 0) << outcome.reported;
        EXPECT_NE(outcome.reported.find(c.reported), std::string::npos) << outcome.reported;
        ASSERT_EQ(host.output.size(), (host.putResultAt == at ? at : 0) * set.units);
        EXPECT_EQ(FirstDifference({expected.begin(), expected.begin() + host.output.size()},
                                  host.output, set.units), -1);
        EXPECT_TRUE(dir.Clean());
      }
    }
  }
}

}  // namespace
}  // namespace isort::testing
