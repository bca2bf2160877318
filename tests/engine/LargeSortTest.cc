// Sorts larger than the memory budget, through the shared library: several
// runs per thread, merges in one pass and in several, a host that refuses a
// row during the merge. Labelled slow.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "WorkDir.h"
#include "isort/FileSort.h"
#include "isort/SortFileSorter.h"
#include "isort/platform.h"
#include "isort/sortfile.h"
#include "workloads/WorkloadSort.h"

namespace isort::testing {
namespace {

using workloads::Workload;
using workloads::WorkloadHost;
using workloads::WorkloadSort;

// W1 (800 MB of rows) through sortfile_ with the default budget of 512 MiB.
TEST(LargeSort, W1ThroughSortfile) {
  WorkDir dir;
  WorkloadHost host(Workload::W1, workloads::LayoutOf(Workload::W1).defaultRows);
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
    WorkloadSort sort(Workload::W1, 8000000, &stats);
    sort.Sort();
    EXPECT_TRUE(sort.checker.Passed()) << sort.checker.Failure();
  }
  platform::SetFileBufferSize(previous);
  EXPECT_GE(stats.sorts.size(), 3u);
  EXPECT_GE(stats.merges.size(), 2u);
  for (const auto& pass : stats.merges) EXPECT_GE(pass.runsMerged, 2u);
  EXPECT_TRUE(dir.Clean());
}

// A put callback that fails during the merge: SortFileSorter::Error reaches
// the host, the rows before it arrived once and in order, nothing is left.
TEST(LargeSort, RefusedRowDuringTheMergeReachesTheHost) {
  WorkDir dir;
  WorkloadHost host(Workload::W1, 7000000);  // more than one batch per thread
  host.refuseAt = 4000000;
  EXPECT_THROW(host.Sort(), SortFileSorter::Error);
  EXPECT_EQ(host.checker.taken(), 4000000u);
  EXPECT_TRUE(host.checker.Failure().find("expected") == 0) << host.checker.Failure();
  EXPECT_EQ(host.flag10, 1);  // the call did not return
  EXPECT_TRUE(dir.Clean());
}

}  // namespace
}  // namespace isort::testing
