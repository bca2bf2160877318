// sortfile_ through the shared library as a host links it: order against the
// oracle, the key array and callback results as a host may pass them, the
// arguments it clears and contract checks; then faults seen from the host:
// every allocation of sortfile_ failing in turn, and callbacks or work files
// that fail, in a sort of one batch and in one of several runs. Exported
// names: tests/records.
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
#include "TestHooks.h"
#include "isort/SortFileSorter.h"
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

// Direction entries count on all 64 bits (any value > 0 ascends: 2^32 does,
// INT64_MIN + 1 does not); position and width entries on their low 32, so in
// odd rounds their high halves hold garbage. The get callback's result counts
// on its low 32 bits, the put callback's on all 64: 2^32 from get delivers the
// row, from put refuses it. A row that get does not deliver ends the input; a
// refused row stops the sort. Each round returns one result at a random row.
TEST(SortFile, MatchesOracleWhateverTheHostPasses) {
  WorkDir dir;
  std::mt19937_64 random(31);
  DataSetShape shape;
  shape.minKeys = 1;
  const SI high = SI{1} << 32;
  static const SI codes[2][4] = {{0, -1, INT64_MIN + 1, 5 - high}, {1, 7, high, high + INT32_MIN}};
  const struct {
    INTEGER result;
    bool getDelivers, putTakes;
  } results[] = {{0, true, true},          {high, true, false},     {INT64_MIN, true, false},
                 {-high, true, false},     {1, false, false},       {-1, false, false},
                 {high + 1, false, false}, {INT32_MIN, false, false}};
  for (int round = 0; round < 80; ++round) {
    const DataSet set = RandomDataSet(random, round < 3 ? round : random() % 500, shape);
    const std::size_t n = set.keys.size(), rows = set.RowCount(), at = random() % (rows + 1);
    std::vector<SI> directions;
    for (const auto& key : set.keys) directions.push_back(codes[key.direction > 0][random() % 4]);
    Host host(set, directions);
    for (std::size_t k = 0; k < n && round % 2 == 1; ++k) {
      host.keys[k] ^= static_cast<SI>(random() << 32);
      host.keys[2 * n + k] ^= static_cast<SI>(random() << 32);
    }
    const auto& c = results[round % 8];
    const bool put = round / 8 % 2, counts = put ? c.putTakes : c.getDelivers;
    (put ? host.putResultAt : host.getResultAt) = at;
    (put ? host.putResult : host.getResult) = c.result;
    SCOPED_TRACE(::testing::Message() << "round " << round << ": " << c.result << " from "
                                      << (put ? "put" : "get") << " at " << at);
    const Outcome outcome = Sort(host);
    const bool refused = outcome.exception == "refused";
    EXPECT_EQ(refused, put && !counts && at < rows);
    EXPECT_TRUE(refused || (outcome.status == 0 && host.flag10 == 0 && host.count11 == 0))
        << outcome.exception;
    // Get: the rows it delivered, sorted; put: the sorted rows it took.
    DataSet read = set;
    read.rows.resize((counts || put ? rows : at) * set.units);
    std::vector<OBS> expected = OracleSort(read);
    expected.resize((counts || !put ? read.RowCount() : at) * set.units);
    EXPECT_EQ(FirstDifference(expected, host.output, set.units), -1);
  }
  EXPECT_TRUE(dir.Clean());
}

// Each check stops the process with the message a host knows: the place and
// prototype of its assertion and the condition; a key list the engine would
// refuse never reaches it.
TEST(SortFileDeathTest, ContractChecksStopTheProcess) {
  const DataSet set{3, {}, {}};
  Host host(set);
  const std::string prototype =
      "INTEGER sortfile_\\(void\\*, INTEGER \\(\\*\\)\\(void\\*, OBS\\*, const INTEGER&\\), "
      "INTEGER \\(\\*\\)\\(void\\*, const OBS\\*, const INTEGER&\\), const INTEGER&, const SI\\*, "
      "const INTEGER&, const INTEGER&, const LOGICAL&, const LOGICAL&, LOGICAL&, INTEGER&\\)";
  const std::vector<SI> key = {1, 1, 0}, outside = {3, 1, 9}, overlap = {2, 1, 1, 1, 0, 16};
  const struct { INTEGER nvars, nukeys; const SI* ukeys; int line; const char* expression; }
      cases[] = {{0, 0, key.data(), 108, "nvars"},
                 {3, 0, nullptr, 109, "nukeys"},
                 {3, 1, nullptr, 110, "ukeys"},
                 {3, 1, outside.data(), 111, "key inside row"},  // two units from unit 3 of 3
                 {3, 2, overlap.data(), 112, "keys do not overlap"}};  // unit 2, then 1-2
  const INTEGER zero = 0;
  LOGICAL flag = 0;
  INTEGER count = 0;
  for (const auto& c : cases) {
    EXPECT_DEATH(sortfile_(&host, &Host::Get, &Host::Put, c.nvars, c.ukeys, c.nukeys, zero, zero,
                           zero, flag, count),
                 "backend/isort/sortfile:" + std::to_string(c.line) + ": " + prototype +
                     ": Assertion `" + c.expression + "' failed");
  }
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
