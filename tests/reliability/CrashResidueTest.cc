// A sort killed with SIGKILL leaves nothing behind: no name in TMPDIR and no
// storage held on its file system, once in the middle of run formation and
// once in the middle of the merge. Work files have no name on disk while they
// are open, so the kernel frees them with the dead process's descriptors.
//
// The child's TMPDIR is a tmpfs of its own where we may mount one, so that the
// free space compares exactly and no other process's files disturb it; else a
// fresh directory under /tmp, whose file system others share, compared with a
// margin. Labelled slow: each test sorts most of W1 (800 MB of rows).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "ChildSort.h"

namespace isort::reliability {
namespace {

constexpr std::uint64_t kMiB = 1 << 20;

// Where the child works, and how much of a difference in free space counts as
// noise there.
struct Place {
  std::unique_ptr<TmpfsMount> tmpfs;
  std::unique_ptr<ScratchDir> scratch;
  std::string path;
  std::uint64_t margin = 0;
  std::string note;
};

Place ChoosePlace() {
  Place place;
  // W1's runs take about 460 MB; the rest is room to spare.
  place.tmpfs = std::make_unique<TmpfsMount>(std::uint64_t{2048} * kMiB);
  if (place.tmpfs->mounted()) {
    place.path = place.tmpfs->path();
    place.margin = 1 * kMiB;
    place.note = "a tmpfs of its own";
    return place;
  }
  place.scratch = std::make_unique<ScratchDir>();
  place.path = place.scratch->path();
  place.margin = 16 * kMiB;
  place.note = "a directory on the shared file system of /tmp (" + place.tmpfs->why() + ")";
  return place;
}

// Free space comes back once the dead child's descriptors are gone; the
// kernel may take a moment after the child is reaped.
std::uint64_t FreeBytesOnceSettled(const std::string& path, std::uint64_t before,
                                   std::uint64_t margin) {
  std::uint64_t now = FreeBytes(path);
  for (int i = 0; i < 50 && now + margin < before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    now = FreeBytes(path);
  }
  return now;
}

void KillAndCheck(ChildSortOptions options, const char* phase) {
  Place place = ChoosePlace();
  ASSERT_FALSE(place.path.empty());
  SCOPED_TRACE(std::string("TMPDIR: ") + place.note);
  options.tmpdir = place.path;
  const std::uint64_t freeBefore = FreeBytes(place.path);
  ASSERT_GT(freeBefore, 0u);

  ChildSort child(options);
  ASSERT_TRUE(child.Start()) << std::strerror(errno);
  ASSERT_TRUE(child.AwaitSignal(240)) << "the child never reached the " << phase;

  // The sort is under way: it holds work files, and they take space (about
  // 90 MB at the first kill, 460 MB at the second).
  const std::string pid = std::to_string(child.pid());
  const int open = OpenFilesIn(pid, place.path);
  const std::uint64_t held = HeldBytes(pid, place.path);
  const std::uint64_t freeAtKill = FreeBytes(place.path);
  EXPECT_GE(open, 1) << "no work file open in the " << phase;
  EXPECT_TRUE(Entries(place.path).empty()) << "a work file has a name";
  EXPECT_GT(held, 2 * place.margin) << "the work files take too little space to tell";

  child.Kill();
  const int status = child.Wait();
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
      << "the child was not killed but ended with wait status " << status;

  EXPECT_TRUE(Entries(place.path).empty()) << "the killed sort left a name in TMPDIR";
  const std::uint64_t freeAfter = FreeBytesOnceSettled(place.path, freeBefore, place.margin);
  EXPECT_LE(freeBefore, freeAfter + place.margin)
      << "free space before " << freeBefore << ", with " << held << " bytes of work files "
      << freeAtKill << ", after the kill " << freeAfter;
}

// After 6 million of W1's 10 million rows: the first batches are sorted and
// written as runs, the rest not yet read.
TEST(CrashResidue, KilledDuringRunFormation) {
  ChildSortOptions options;
  options.signalAfterGets = 6000000;
  KillAndCheck(options, "run formation");
}

// After 3 million rows have come out of the merge: every run is written and
// read in part.
TEST(CrashResidue, KilledDuringTheMerge) {
  ChildSortOptions options;
  options.signalAfterPuts = 3000000;
  KillAndCheck(options, "merge");
}

}  // namespace
}  // namespace isort::reliability
