// A sort killed with SIGKILL leaves nothing behind: no name in TMPDIR and no
// storage held on its file system, once in the middle of run formation and
// once in the middle of the merge. Work files have no name on disk while they
// are open, so the kernel frees them with the dead process's descriptors.
//
// The child's TMPDIR is a tmpfs of its own where we may mount one, so that the
// free space compares exactly; else a directory on /tmp's shared file system,
// where only the names are checked. Labelled slow: each test sorts most of W1
// (800 MB of rows).
//
// Work files that the system refuses to take: a file size limit, and a full
// file system. The sort runs through sortfile_ in a forked child, so that the
// limit and the file system are the child's alone. Each ends with status 5,
// one report on standard error that names the cause and the work file, nothing
// left in TMPDIR, and a process that goes on to sort again.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <functional>
#include <string>
#include <utility>

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


// Sorts in a child whose TMPDIR is `tmpdir`, after `prepare`, and checks how
// it ended; `cause` is the system's text for the refusal.
void SortAndExpectRefusal(const std::string& tmpdir, const std::string& cause,
                          std::function<void()> prepare = {}) {
  ChildSortOptions options;
  options.tmpdir = tmpdir;
  options.rows = 7000000;  // more than one batch of the default 512 MiB: runs are written
  options.prepare = std::move(prepare);
  ChildSort child(options);
  ASSERT_GT(child.pid(), 0) << std::strerror(errno);
  const int status = child.Wait();
  const std::string errors = child.Stderr();
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status << "\n" << errors;
  const int code = WEXITSTATUS(status);
  EXPECT_EQ(code & kStatusMask, 5) << errors;
  EXPECT_EQ(code & kFilesLeftOpen, 0) << "work files open after the sort";
  EXPECT_EQ(code & kFollowUpFailed, 0) << "the process could not sort again";
  // One line, the report.
  EXPECT_EQ(errors.rfind("isort: ", 0), 0u) << errors;
  EXPECT_EQ(errors.find('\n'), errors.size() - 1) << errors;
  EXPECT_NE(errors.find(cause), std::string::npos) << errors;
  EXPECT_NE(errors.find("work file " + tmpdir + "/sort"), std::string::npos) << errors;
  EXPECT_TRUE(std::filesystem::is_empty(tmpdir)) << "a name left in TMPDIR";
}

// W1 (800 MB of rows) with the default budget of 512 MiB to the end: several
// runs per thread, every row checked as it arrives, nothing left behind.
TEST(LargeSort, W1ThroughSortfile) {
  TempDir tmpdir;
  ChildSortOptions options;
  options.tmpdir = tmpdir.path();
  ChildSort child(options);
  const int status = child.Wait();
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << child.Stderr();
  EXPECT_TRUE(std::filesystem::is_empty(tmpdir.path()));
}

// A file size limit of 1 MiB with SIGXFSZ ignored: the write that crosses it
// is cut short, and the next one fails with EFBIG.
TEST(FileRefusal, FileSizeLimit) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  SortAndExpectRefusal(dir.path(), "File too large", [] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1 << 20, 1 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
  });
}

// A tmpfs of 8 MiB fills up with the first run.
TEST(FileRefusal, FullFileSystem) {
  TempDir tmpfs(8u << 20);
  if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  const std::uint64_t freeBefore = tmpfs.FreeBytes();
  SortAndExpectRefusal(tmpfs.path(), "No space left on device");
  EXPECT_EQ(tmpfs.FreeBytes(), freeBefore)
      << "the file system did not get its space back";
}

}  // namespace
}  // namespace isort::reliability
