// A sort larger than the memory budget, through the shared library: several
// runs per thread at full scale (merges in several passes: EngineTest).
// Labelled slow.
#include <gtest/gtest.h>

#include "TempDir.h"
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

}  // namespace
}  // namespace isort::testing
