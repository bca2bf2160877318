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
