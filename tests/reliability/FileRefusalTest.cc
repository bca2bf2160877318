// Work files that the system refuses to take: a file size limit, and a full
// file system. The sort runs through sortfile_ in a forked child, so that the
// limit and the file system are the child's alone. Each ends with status 5,
// one report on standard error that names the cause and the work file, nothing
// left in TMPDIR, and a process that goes on to sort again.
//
// 7 million W1 rows are more than one batch of the default 512 MiB budget, so
// runs must be written.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <string>

#include "ChildSort.h"

namespace isort::reliability {
namespace {

constexpr std::uint64_t kRows = 7000000;

// The lines of `text` that begin with `prefix`.
std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// Runs the child and checks how it ended; `cause` is the system's text for
// the refusal.
void SortAndExpectRefusal(ChildSortOptions options, const std::string& cause) {
  options.rows = kRows;
  options.captureStderr = true;
  ChildSort child(options);
  ASSERT_TRUE(child.Start()) << std::strerror(errno);
  const std::string errors = child.ReadStderr();
  const int status = child.Wait();

  ASSERT_TRUE(WIFEXITED(status)) << "the child did not exit normally: wait status " << status
                                 << "\n" << errors;
  const int code = WEXITSTATUS(status);
  EXPECT_EQ(code & ChildExit::kStatusMask, 5) << errors;
  EXPECT_EQ(code & ChildExit::kFilesLeftOpen, 0) << "work files still open after the sort";
  EXPECT_EQ(code & ChildExit::kFollowUpFailed, 0) << "the process could not sort again";

  const std::vector<std::string> reports = LinesStartingWith(errors, "isort: ");
  ASSERT_EQ(reports.size(), 1u) << "standard error:\n" << errors;
  const std::string& report = reports[0];
  EXPECT_NE(report.find(cause), std::string::npos) << report;
  EXPECT_NE(report.find("work file " + options.tmpdir + "/sort"), std::string::npos) << report;
  EXPECT_EQ(errors, report + "\n") << "standard error holds more than the report";

  EXPECT_TRUE(Entries(options.tmpdir).empty()) << "the refused sort left a name in TMPDIR";
}

// A file size limit of 1 MiB with SIGXFSZ ignored: the write that crosses it
// is cut short, and the next one fails with EFBIG.
TEST(FileRefusal, FileSizeLimit) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  ChildSortOptions options;
  options.tmpdir = dir.path();
  options.prepare = [] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 1 << 20;
    setrlimit(RLIMIT_FSIZE, &limit);
  };
  SortAndExpectRefusal(options, "File too large");
}

// A tmpfs of 8 MiB fills up with the first run.
TEST(FileRefusal, FullFileSystem) {
  TmpfsMount tmpfs(8u << 20);
  if (!tmpfs.mounted()) GTEST_SKIP() << "no file system to fill: " << tmpfs.why();
  const std::uint64_t freeBefore = FreeBytes(tmpfs.path());
  ChildSortOptions options;
  options.tmpdir = tmpfs.path();
  SortAndExpectRefusal(options, "No space left on device");
  EXPECT_EQ(FreeBytes(tmpfs.path()), freeBefore) << "the file system did not get its space back";
}

}  // namespace
}  // namespace isort::reliability
