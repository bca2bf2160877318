// Sorts larger than the memory budget, through the shared library: several
// runs per thread, merged in one pass and in several. Labelled slow.
#include <gtest/gtest.h>

#include "WorkDir.h"
#include "TestHooks.h"
#include "workloads/WorkloadSort.h"

namespace isort::testing {
namespace {

using workloads::Workload;

// W1 (800 MB of rows) through sortfile_ with the default budget of 512 MiB,
// every row checked as it arrives.
TEST(LargeSort, W1ThroughSortfile) {
  WorkDir dir;
  workloads::WorkloadHost host(Workload::W1, workloads::LayoutOf(Workload::W1).defaultRows);
  EXPECT_EQ(host.Sort(), 0);
  EXPECT_EQ(host.flag10, 0);
  EXPECT_TRUE(host.checker.Passed()) << host.checker.Failure();
  EXPECT_EQ(host.checker.checksum(), host.checker.ExpectedChecksum());
  EXPECT_TRUE(dir.Clean());
}

// Handles so large that only two runs fit into a pass: the merge takes
// several passes, and a pass takes some runs of a sort file while others of
// the same file wait.
TEST(LargeSort, LargeFootprintsMergeInSeveralPasses) {
  WorkDir dir;
  const std::size_t previous = platform::FileBufferSize();
  platform::SetFileBufferSize(150u << 20);
  FileSort::Statistics stats;
  {
    workloads::WorkloadSort sort(Workload::W1, 8000000, &stats);
    sort.Sort();
    EXPECT_TRUE(sort.checker.Passed()) << sort.checker.Failure();
  }
  platform::SetFileBufferSize(previous);
  EXPECT_GE(stats.sorts.size(), 3u);
  EXPECT_GE(stats.merges.size(), 2u);
  for (const auto& pass : stats.merges) EXPECT_GE(pass.runsMerged, 2u);
  EXPECT_TRUE(dir.Clean());
}

}  // namespace
}  // namespace isort::testing
