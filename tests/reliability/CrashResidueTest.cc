// A sort killed with SIGKILL leaves nothing behind: no name in TMPDIR and no
// storage held on its file system, once in the middle of run formation and
// once in the middle of the merge. Work files have no name on disk while they
// are open, so the kernel frees them with the dead process's descriptors.
//
// The child's TMPDIR is a tmpfs of its own where we may mount one, so that the
// free space compares exactly; else a directory on /tmp's shared file system,
// where only the names are checked. Labelled slow: each test sorts most of W1
// (800 MB of rows).
#include <gtest/gtest.h>

#include <string>

#include "ChildSort.h"

namespace isort::reliability {
namespace {

void KillAndCheck(ChildSortOptions options, const char* phase) {
  TempDir tmpdir(std::uint64_t{2} << 30);  // W1's runs take about 460 MB
  ASSERT_FALSE(tmpdir.path().empty());
  SCOPED_TRACE(tmpdir.mounted() ? "TMPDIR on a tmpfs" : "TMPDIR under /tmp, not a tmpfs");
  options.tmpdir = tmpdir.path();
  const std::uint64_t freeBefore = tmpdir.FreeBytes();

  ChildSort child(options);
  ASSERT_GT(child.pid(), 0) << std::strerror(errno);
  ASSERT_TRUE(child.AwaitStop(240)) << "the child never reached the " << phase;
  // The sort is under way: its work files are open and unnamed, and on a
  // tmpfs take space once the first run is out, which the sorting threads may
  // still be writing (about 460 MB at the second kill).
  const std::uint64_t kMiB = 1 << 20;
  std::uint64_t freeAtKill = tmpdir.FreeBytes();
  for (int i = 0; i < 600 && tmpdir.mounted() && freeAtKill + kMiB > freeBefore; ++i) {
    usleep(100000);
    freeAtKill = tmpdir.FreeBytes();
  }
  if (tmpdir.mounted()) {
    EXPECT_GT(freeBefore, freeAtKill + kMiB) << "no run written in the " << phase;
  }
  EXPECT_GE(OpenFilesIn(std::to_string(child.pid()), tmpdir.path()), 1)
      << "no work file open in the " << phase;
  EXPECT_TRUE(std::filesystem::is_empty(tmpdir.path())) << "a work file has a name";

  const int status = child.Wait(/*kill=*/true);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
      << "wait status " << status;
  EXPECT_TRUE(std::filesystem::is_empty(tmpdir.path())) << "a name left in TMPDIR";
  if (!tmpdir.mounted()) return;
  // The kernel may take a moment after the reaping to free the files.
  for (int i = 0; i < 50 && tmpdir.FreeBytes() != freeBefore; ++i) usleep(100000);
  EXPECT_EQ(tmpdir.FreeBytes(), freeBefore)
      << freeBefore - freeAtKill << " bytes at the kill";
}

// After 6 million of W1's 10 million rows: the first batches are being sorted
// and written as runs, the rest not yet read.
TEST(CrashResidue, KilledDuringRunFormation) {
  ChildSortOptions options;
  options.stopAfterGets = 6000000;
  KillAndCheck(options, "run formation");
}

// After 3 million rows have come out of the merge: every run is written and
// read in part.
TEST(CrashResidue, KilledDuringTheMerge) {
  ChildSortOptions options;
  options.stopAfterPuts = 3000000;
  KillAndCheck(options, "merge");
}

}  // namespace
}  // namespace isort::reliability
