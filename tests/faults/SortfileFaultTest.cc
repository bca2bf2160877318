// Faults seen from the host: every allocation of sortfile_ failing in turn,
// work files the system refuses, and callbacks that fail at the first, a
// middle and the last row, in a sort of one batch and in one of several runs.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "FailingAllocator.h"
#include "Oracle.h"
#include "WorkDir.h"
#include "isort/SortFileSorter.h"
#include "isort/sortfile.h"
#include "streams/FaultInjection.h"
#include "vorn/Errors.h"

namespace isort::testing {
namespace {

// A host whose callbacks can fail at chosen rows.
struct Host {
  const DataSet* set = nullptr;
  std::size_t next = 0;
  std::vector<OBS> output;
  std::size_t getFailsAt = SIZE_MAX;
  int getFault = 0;  // what the get callback throws at getFailsAt
  std::size_t putFailsAt = SIZE_MAX;

  static INTEGER Get(void* context, OBS* row, const INTEGER& nvars) {
    Host& host = *static_cast<Host*>(context);
    if (host.next == host.getFailsAt) {
      switch (host.getFault) {
        case 0: throw ErrorText("the host's input failed", ErrorText::kHost, 7);
        case 1: throw VornGoToCaller();
        case 2: throw std::bad_alloc();
        default: throw std::runtime_error("foreign");
      }
    }
    if (host.next == host.set->RowCount()) return 1;
    std::memcpy(row, host.set->Row(host.next++), static_cast<std::size_t>(nvars) * sizeof(OBS));
    return 0;
  }
  static INTEGER Put(void* context, const OBS* row, const INTEGER& nvars) {
    Host& host = *static_cast<Host*>(context);
    if (host.output.size() / static_cast<std::size_t>(nvars) == host.putFailsAt) return 9;
    host.output.insert(host.output.end(), row, row + nvars);
    return 0;
  }
};

struct Outcome {
  INTEGER status = -1;  // -1: an exception left sortfile_
  std::string exception;
  std::string reported;  // standard error during the call
  LOGICAL flag10 = 77;
};

// Sorts the host's rows; with `failingAllocation` not 0, that allocation of
// the call fails.
Outcome Sort(Host& host, std::uint64_t failingAllocation = 0) {
  const std::vector<SI> keys = host.set->HostKeys({1});
  const INTEGER nvars = host.set->units, nukeys = 1, unused = 0;
  Outcome outcome;
  INTEGER count = 77;
  host.output.reserve(host.set->rows.size());
  ::testing::internal::CaptureStderr();
  try {
    AllocationFault fault(failingAllocation);
    outcome.status = sortfile_(&host, &Host::Get, &Host::Put, nvars, keys.data(), nukeys,
                               unused, unused, unused, outcome.flag10, count);
  } catch (const SortFileSorter::Error&) {
    outcome.exception = "refused";
  } catch (const std::bad_alloc&) {
    outcome.exception = "bad_alloc";
  } catch (const std::runtime_error& error) {
    outcome.exception = error.what();
  }
  outcome.reported = ::testing::internal::GetCapturedStderr();
  return outcome;
}

int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

DataSet SmallSet() {
  std::mt19937_64 random(71);
  DataSetShape shape;
  shape.maxUnits = 5;
  DataSet set = RandomDataSet(random, 300, shape);
  set.keys = {{0, 1, set.variables[0].width}};
  return set;
}

// Rows of 1000 incompressible units: a few tens of thousands fill the first
// batch of the default budget, so the sort writes runs and merges them.
DataSet WideSet(std::size_t rows) {
  DataSet set;
  set.units = 1000;
  set.keys = {{0, 1, 0}};
  set.rows.resize(rows * set.units);
  std::mt19937_64 random(72);
  for (std::size_t r = 0; r < rows; ++r) {
    OBS* row = set.rows.data() + r * set.units;
    row[0] = static_cast<double>(random() % 50);  // heavy ties: stability counts
    for (unsigned int u = 1; u < set.units; ++u) row[u] = FromBits(random());
  }
  return set;
}

TEST(SortfileFaults, EveryAllocationFailsInTurn) {
  WorkDir dir;
  const DataSet set = SmallSet();
  const std::vector<OBS> expected = OracleSort(set);
  int outOfMemory = 0;
  std::uint64_t nth = 1;
  for (;; ++nth) {
    Host host;
    host.set = &set;
    const Outcome outcome = Sort(host, nth);
    ASSERT_TRUE(dir.Clean()) << "allocation " << nth;
    if (outcome.exception == "bad_alloc") {
      // Only while the key list is built, before the sort starts.
      ASSERT_EQ(host.next, 0u) << "allocation " << nth;
      continue;
    }
    ASSERT_TRUE(outcome.exception.empty()) << outcome.exception;
    ASSERT_EQ(outcome.flag10, 0);
    if (outcome.status == 11) {
      ++outOfMemory;
      // Rows delivered before the failure came in order.
      std::vector<OBS> prefix(expected.begin(), expected.begin() + host.output.size());
      ASSERT_EQ(FirstDifference(prefix, host.output, set.units), -1);
      continue;
    }
    ASSERT_EQ(outcome.status, 0) << "allocation " << nth;
    ASSERT_EQ(FirstDifference(expected, host.output, set.units), -1);
    if (!AllocationFailed()) break;
  }
  EXPECT_GT(outOfMemory, 10);
}

TEST(SortfileFaults, RefusedWorkFileIsReportedOnce) {
  WorkDir dir;
  const DataSet set = SmallSet();
  Host host;
  host.set = &set;
  platform::faults::FailNthFileCall(platform::faults::FileCall::kCreate, 1, EMFILE);
  const Outcome outcome = Sort(host);
  platform::faults::ClearFileFaults();
  EXPECT_EQ(outcome.status, 5);
  EXPECT_EQ(Occurrences(outcome.reported, std::strerror(EMFILE)), 1) << outcome.reported;
  EXPECT_EQ(Occurrences(outcome.reported, "isort: "), 1) << outcome.reported;
  EXPECT_TRUE(host.output.empty());
  EXPECT_TRUE(dir.Clean());
}

// What each get fault gives: status, or the exception that reaches the host.
void ExpectGetFault(int fault, const Outcome& outcome, const Host& host) {
  switch (fault) {
    case 0:
      EXPECT_EQ(outcome.status, 5);
      EXPECT_EQ(Occurrences(outcome.reported, "the host's input failed"), 1) << outcome.reported;
      break;
    case 1:
      EXPECT_EQ(outcome.status, 14);
      break;
    case 2:
      EXPECT_EQ(outcome.status, 11);
      break;
    default:
      EXPECT_EQ(outcome.exception, "foreign");
      EXPECT_EQ(outcome.flag10, 77);  // the call did not return
  }
  if (fault <= 2) {
    EXPECT_EQ(outcome.flag10, 0);
  }
  EXPECT_TRUE(host.output.empty()) << "no row is delivered when the input fails";
}

TEST(SortfileFaults, CallbacksFailInOneBatchAndAcrossRuns) {
  WorkDir dir;
  const DataSet small = SmallSet();
  const DataSet wide = WideSet(12000);
  for (const DataSet* set : {&small, &wide}) {
    const std::size_t rows = set->RowCount();
    const std::vector<OBS> expected = OracleSort(*set);
    for (std::size_t at : {std::size_t{0}, rows / 2, rows - 1}) {
      for (int fault = 0; fault < 4; ++fault) {
        SCOPED_TRACE(::testing::Message() << rows << " rows, get fault " << fault << " at " << at);
        Host host;
        host.set = set;
        host.getFailsAt = at;
        host.getFault = fault;
        ExpectGetFault(fault, Sort(host), host);
        EXPECT_TRUE(dir.Clean());
      }
      SCOPED_TRACE(::testing::Message() << rows << " rows, put refuses row " << at);
      Host host;
      host.set = set;
      host.putFailsAt = at;
      const Outcome outcome = Sort(host);
      EXPECT_EQ(outcome.exception, "refused");
      EXPECT_EQ(outcome.flag10, 77);
      ASSERT_EQ(host.output.size(), at * set->units);
      std::vector<OBS> prefix(expected.begin(), expected.begin() + at * set->units);
      EXPECT_EQ(FirstDifference(prefix, host.output, set->units), -1);
      EXPECT_TRUE(dir.Clean());
    }
  }
}

}  // namespace
}  // namespace isort::testing
