// Every allocation, and every create, write, read and seek of a work file, of
// a sort of several runs and passes fails in turn: each sort either completes
// correctly or ends in std::bad_alloc or in an ErrorText that names the
// system's reason, with no work file left (and, under ASan, no leak).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "FailingAllocator.h"
#include "VectorSort.h"
#include "TempDir.h"
#include "TestHooks.h"
#include "vorn/Errors.h"

namespace isort::testing {
namespace {

using platform::faults::FileCall;

// Makes the nth allocation (`error` 0) or the nth `call` fail with errno
// `error`; nth 0 disarms.
void Arm(std::uint64_t nth, FileCall call, int error) {
  error == 0 ? FailNthAllocation(nth) : platform::faults::FailNthFileCall(call, nth, error);
}

// Sorts `rows` rows, about `batchRows` a batch, with handle buffers of
// `fileBuffer` bytes (0: a third of the budget) while the nth fault is armed,
// for nth = 1, 2, ... until a sort completes without it firing. Returns how
// many sorts failed.
int Sweep(std::size_t rows, std::uint64_t batchRows, std::size_t fileBuffer, FileCall call,
          int error) {
  WorkDir dir;
  std::mt19937_64 random(61);
  const DataSet set = RandomDataSet(random, rows, DataSetShape{1, 8, 1});  // 1-8 units, 1-4 keys
  const std::vector<OBS> expected = OracleSort(set);
  const std::uint64_t budget = batchRows * (set.units + 1) * 8 * 2;
  platform::SetFileBufferSize(fileBuffer != 0 ? fileBuffer : budget / 3);
  int failures = 0;
  for (std::uint64_t nth = 1; !::testing::Test::HasFailure(); ++nth) {
    SCOPED_TRACE(::testing::Message() << (error != 0 ? std::strerror(error) : "allocation")
                                      << " " << nth);
    try {
      Arm(nth, call, error);
      VectorSort sort(set, nullptr, budget);
      sort.Sort();
      Arm(0, call, error);
      EXPECT_EQ(FirstDifference(expected, sort.output, set.units), -1);
      // A file fault that fires always fails the sort.
      if (error != 0 || !AllocationFailed()) break;  // fewer such calls than nth
    } catch (const std::bad_alloc&) {
      Arm(0, call, error);
      EXPECT_TRUE(error == 0 && AllocationFailed()) << "out of memory without a failed allocation";
      ++failures;
    } catch (const ErrorText& thrown) {
      Arm(0, call, error);
      EXPECT_NE(thrown.Text().find(std::strerror(error)), std::string::npos) << thrown.Text();
      EXPECT_EQ(thrown.Detail(), error);
      ++failures;
    }
    EXPECT_TRUE(dir.Clean());
    EXPECT_LT(nth, 100000u);
  }
  platform::SetFileBufferSize(0);
  return failures;
}

TEST(EngineFaultSweep, EveryAllocationFailsInTurn) {
  EXPECT_GT(Sweep(150, 12, 0, FileCall::kMemory, 0), 100)  // the call goes unused
      << "a sort of several passes makes hundreds of allocations";
}

// Many calls a run, and several passes.
TEST(EngineFaultSweep, EveryWorkFileCallFailsInTurn) {
  const std::pair<FileCall, int> kinds[] = {{FileCall::kCreate, EMFILE},
                                            {FileCall::kWrite, ENOSPC},
                                            {FileCall::kRead, EIO},
                                            {FileCall::kSeek, EINVAL}};
  for (const auto& [call, error] : kinds) {
    EXPECT_GT(Sweep(2000, 150, 512, call, error), 0) << std::strerror(error);
  }
}

}  // namespace
}  // namespace isort::testing
