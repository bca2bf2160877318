// Every allocation of a sort fails in turn: each sort either completes
// correctly or ends in std::bad_alloc (status 11 from sortfile_), with no work
// file left and, under the address sanitizer, no leak.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "FailingAllocator.h"
#include "Oracle.h"
#include "VectorSort.h"
#include "WorkDir.h"
#include "isort/FileSort.h"
#include "isort/platform.h"

namespace isort::testing {
namespace {

// Runs of a few rows each, merged in several passes.
TEST(AllocationSweep, EngineCompletesOrRunsOutOfMemoryCleanly) {
  WorkDir dir;
  std::mt19937_64 random(61);
  DataSetShape shape;
  shape.maxUnits = 6;
  DataSet set = RandomDataSet(random, 150, shape);
  if (set.keys.empty()) set.keys.push_back({0, 1, set.variables[0].width});
  const std::vector<OBS> expected = OracleSort(set);
  const std::uint64_t budget = 12 * (set.units + 1) * 8 * 2;  // about 12 rows a batch
  platform::SetFileBufferSize(budget / 3);                    // several passes
  int failures = 0;
  std::uint64_t nth = 1;
  for (;; ++nth) {
    bool outOfMemory = false;
    std::vector<OBS> output;
    {
      AllocationFault fault(nth);
      try {
        VectorSort sort(set, nullptr, budget);
        sort.Sort();
        output.swap(sort.output);
      } catch (const std::bad_alloc&) {
        outOfMemory = true;
      }
    }
    ASSERT_TRUE(dir.Clean()) << "allocation " << nth;
    if (!outOfMemory) {
      ASSERT_EQ(FirstDifference(expected, output, set.units), -1) << "allocation " << nth;
      if (!AllocationFailed()) break;  // every allocation of the sort has failed once
    } else {
      ASSERT_TRUE(AllocationFailed()) << "out of memory without a failed allocation";
      ++failures;
    }
    ASSERT_LT(nth, 100000u);
  }
  platform::SetFileBufferSize(64 * 1024);
  RecordProperty("allocations", static_cast<int>(nth - 1));
  EXPECT_GT(failures, 100) << "a sort of several passes makes hundreds of allocations";
}

}  // namespace
}  // namespace isort::testing
