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
#include "workloads/Workloads.h"

namespace isort::testing {
namespace {

using workloads::Checker;
using workloads::Generator;
using workloads::Workload;

struct WorkloadHost {
  Generator generator;
  Checker checker;
  std::uint64_t refuseAt = UINT64_MAX;

  static INTEGER Get(void* context, OBS* row, const INTEGER&) {
    return static_cast<WorkloadHost*>(context)->generator.Next(row) ? 0 : 1;
  }
  static INTEGER Put(void* context, const OBS* row, const INTEGER&) {
    auto& host = *static_cast<WorkloadHost*>(context);
    if (host.checker.taken() == host.refuseAt) return -5;
    host.checker.Take(row);
    return 0;
  }
};

// W1 (800 MB of rows) through sortfile_ with the default budget of 512 MiB.
TEST(LargeSort, W1ThroughSortfile) {
  WorkDir dir;
  const auto& layout = workloads::LayoutOf(Workload::W1);
  WorkloadHost host{Generator(Workload::W1, layout.defaultRows),
                    Checker(Workload::W1, layout.defaultRows)};
  const std::vector<SI> keys = layout.HostKeys();
  const INTEGER nvars = layout.units, nukeys = 2, unused = 0;
  LOGICAL flag = 1;
  INTEGER count = 1;
  const INTEGER status = sortfile_(&host, &WorkloadHost::Get, &WorkloadHost::Put, nvars,
                                   keys.data(), nukeys, unused, unused, unused, flag, count);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(host.checker.Passed()) << host.checker.Failure();
  EXPECT_EQ(host.checker.checksum(), host.checker.ExpectedChecksum());
  EXPECT_TRUE(dir.Clean());
}

class WorkloadSort : public FileSort {
 public:
  WorkloadSort(Workload workload, std::uint64_t rows, Statistics* statistics)
      : FileSort(Keys(workload), workloads::LayoutOf(workload).units, statistics),
        generator(workload, rows),
        checker(workload, rows),
        row(workloads::LayoutOf(workload).units) {}

  const OBS* GetRow() override { return generator.Next(row.data()) ? row.data() : nullptr; }
  void PutRow(const OBS* sorted) override { checker.Take(sorted); }

  static std::vector<SortKey> Keys(Workload workload) {
    std::vector<SortKey> keys;
    for (const auto& key : workloads::LayoutOf(workload).keys) {
      keys.push_back({key.position, key.direction, key.width});
    }
    return keys;
  }

  Generator generator;
  Checker checker;
  std::vector<OBS> row;
};

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
  const auto& layout = workloads::LayoutOf(Workload::W1);
  const std::uint64_t rows = 7000000;  // more than one batch per thread
  WorkloadHost host{Generator(Workload::W1, rows), Checker(Workload::W1, rows), 4000000};
  const std::vector<SI> keys = layout.HostKeys();
  const INTEGER nvars = layout.units, nukeys = 2, unused = 0;
  LOGICAL flag = 1;
  INTEGER count = 1;
  EXPECT_THROW(sortfile_(&host, &WorkloadHost::Get, &WorkloadHost::Put, nvars, keys.data(),
                         nukeys, unused, unused, unused, flag, count),
               SortFileSorter::Error);
  EXPECT_EQ(host.checker.taken(), 4000000u);
  EXPECT_TRUE(host.checker.Failure().find("expected") == 0) << host.checker.Failure();
  EXPECT_EQ(flag, 1);
  EXPECT_TRUE(dir.Clean());
}

}  // namespace
}  // namespace isort::testing
