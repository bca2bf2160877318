// Every allocation, and every create, write, read and seek of a work file, of
// a sort of several runs and passes fails in turn: each sort either completes
// correctly or ends in std::bad_alloc or in an ErrorText of the call's kind
// that names the work file and the system's reason, with no work file left
// (and, under ASan, no leak). An interrupted write is retried.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <regex>

#include "FailingAllocator.h"
#include "TempDir.h"
#include "TestHooks.h"
#include "VectorSort.h"
#include "vorn/Errors.h"

namespace isort::testing {
namespace {

using platform::faults::FileCall;

struct Fault {
  FileCall call;  // kMemory: an allocation
  int error;
  unsigned char kind;  // of the ErrorText
  const char* start;   // of its text
};

// Makes the nth allocation or the nth call fail; nth 0 disarms.
void Arm(std::uint64_t nth, const Fault& fault) {
  fault.call == FileCall::kMemory ? FailNthAllocation(nth)
                                  : platform::faults::FailNthFileCall(fault.call, nth, fault.error);
}

// Sorts `rows` rows, about `batchRows` a batch, with handle buffers of
// `fileBuffer` bytes (0: a third of the budget) while the nth fault is armed,
// for nth = 1, 2, ... until a sort completes without it firing. Returns how
// many sorts failed.
// With `inKeyOrder`, the rows come in key order but for one pair in the last
// batches: batches go straight to their runs as they load, written by a
// helper from a quarter of the batch on, and one takes its rows back.
int Sweep(std::size_t rows, std::uint64_t batchRows, std::size_t fileBuffer, const Fault& fault,
          bool inKeyOrder = false) {
  WorkDir dir;
  std::mt19937_64 random(61);
  DataSet set = RandomDataSet(random, rows, DataSetShape{1, 8, 1});  // 1-8 units, 1-4 keys
  if (inKeyOrder) {
    set.rows = OracleSort(set);
    const std::size_t late = (rows - batchRows / 2) * set.units;
    std::swap_ranges(&set.rows[late - set.units], &set.rows[late], &set.rows[late]);
  }
  const std::vector<OBS> expected = OracleSort(set);
  const std::uint64_t budget = batchRows * (set.units + 1) * 8 * 2;
  platform::SetFileBufferSize(fileBuffer != 0 ? fileBuffer : budget / 3);
  const bool memory = fault.call == FileCall::kMemory;
  int failures = 0;
  for (std::uint64_t nth = 1; !::testing::Test::HasFailure(); ++nth) {
    SCOPED_TRACE(::testing::Message() << (memory ? "allocation" : std::strerror(fault.error))
                                      << " " << nth);
    try {
      Arm(nth, fault);
      VectorSort sort(set, nullptr, budget);
      sort.Sort();
      Arm(0, fault);
      EXPECT_EQ(FirstDifference(expected, sort.output, set.units), -1);
      // A file fault that fires fails the sort, unless it is retried.
      if (!memory || !AllocationFailed()) break;  // fewer such calls than nth
    } catch (const std::bad_alloc&) {
      Arm(0, fault);
      EXPECT_TRUE(memory && AllocationFailed()) << "out of memory without a failed allocation";
      ++failures;
    } catch (const ErrorText& thrown) {
      Arm(0, fault);
      EXPECT_EQ(thrown.Kind(), fault.kind);
      EXPECT_EQ(thrown.Detail(), fault.error);
      // Which call, on which work file (a sorter's or a merge's, by its
      // number, or a pattern where it could not be made), and why.
      const std::regex text(std::string(fault.start) + " work file " + dir.path() +
                            "/(sort|merge)(\\*|[0-9]+): " + std::strerror(fault.error));
      EXPECT_TRUE(std::regex_match(thrown.Text(), text)) << thrown.Text();
      ++failures;
    }
    EXPECT_TRUE(dir.Clean());
    EXPECT_LT(nth, 100000u);
  }
  platform::SetFileBufferSize(0);
  return failures;
}

TEST(EngineFaultSweep, EveryAllocationFailsInTurn) {
  for (const bool inKeyOrder : {false, true}) {
    EXPECT_GT(Sweep(150, 12, 0, {FileCall::kMemory, 0, 0, ""}, inKeyOrder), 100)
        << "a sort of several passes makes hundreds of allocations";
  }
}

// Many calls a run, and several passes.
TEST(EngineFaultSweep, EveryWorkFileCallFailsInTurn) {
  const Fault faults[] = {{FileCall::kCreate, EMFILE, ErrorText::kFileCreate, "cannot create"},
                          {FileCall::kWrite, ENOSPC, ErrorText::kFileWrite, "cannot write"},
                          {FileCall::kRead, EIO, ErrorText::kFileRead, "cannot read"},
                          {FileCall::kSeek, EOVERFLOW, ErrorText::kFileSeek, "cannot seek in"}};
  for (const Fault& fault : faults) {
    EXPECT_GT(Sweep(2000, 150, 512, fault), 0) << std::strerror(fault.error);
    EXPECT_GT(Sweep(2000, 150, 512, fault, true), 0) << std::strerror(fault.error) << " in order";
  }
  EXPECT_EQ(Sweep(2000, 150, 512, {FileCall::kWrite, EINTR, 0, ""}), 0) << "not retried";
}

}  // namespace
}  // namespace isort::testing
