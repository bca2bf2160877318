// Temporary files: no trace on disk (also after SIGKILL), shared handles
// with their own positions, IsShared, footprints, and every failure road
// (refused writes, injected create/write/read/seek failures) ending in an
// ErrorText that says what failed, on which file and why.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "StreamTestSupport.h"
#include "isort/platform.h"
#include "streams/FaultInjection.h"
#include "vorn/Errors.h"
#include "vorn/Streams.h"

namespace {

using isort::platform::faults::FailNthFileCall;
using isort::platform::faults::FileCall;
using streams_test::ScopedBufferSize;
using streams_test::ScopedFaults;
using streams_test::ScopedTempDir;

std::vector<unsigned char> Pattern(std::size_t bytes, unsigned seed) {
  std::vector<unsigned char> data(bytes);
  for (std::size_t i = 0; i < bytes; ++i) data[i] = static_cast<unsigned char>(i * 31 + seed);
  return data;
}

std::vector<unsigned char> ReadBytes(VORN_StrBaseIO& stream, std::size_t bytes) {
  std::vector<unsigned char> data(bytes);
  data.resize(stream.Read(data.data(), bytes));
  return data;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Runs `child` in a forked process; returns its exit status (or -signal).
template <typename Child>
int RunInChild(Child child) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 1;
    try {
      code = child();
    } catch (...) {
      code = 2;
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

TEST(TempFile, LeavesNoEntryInTheDirectory) {
  ScopedTempDir dir;
  {
    VORN_TempFile sort("sort", true);
    VORN_TempFile merge("merge", true);
    const auto data = Pattern(100000, 1);
    sort.Write(data.data(), data.size());
    merge.Write(data.data(), data.size());
    sort.Flush();
    merge.Flush();
    VORN_TempFile copy(sort);
    EXPECT_TRUE(dir.Entries().empty()) << "while open: " << dir.Entries().front();
  }
  EXPECT_TRUE(dir.Entries().empty());
}

TEST(TempFile, NameIsInTmpdirAndBeginsWithThePrefix) {
  ScopedTempDir dir;
  VORN_TempFile sort("sort", true);
  VORN_TempFile merge("merge", true);
  EXPECT_TRUE(StartsWith(sort.Name(), dir.path() + "/sort")) << sort.Name();
  EXPECT_TRUE(StartsWith(merge.Name(), dir.path() + "/merge")) << merge.Name();
  EXPECT_STREQ(sort.GetNameStr().c_str(), sort.Name());
  EXPECT_STRNE(sort.Name(), VORN_TempFile("sort", true).Name());
}

TEST(TempFile, StartsEmptyAtPositionZero) {
  ScopedTempDir dir;
  VORN_TempFile file("sort", true);
  EXPECT_EQ(file.Tell(), 0);
  unsigned char byte = 0;
  EXPECT_EQ(file.Read(&byte, 1), 0u);
  EXPECT_TRUE(file.EndOfFile());
  EXPECT_FALSE(file.Good());
  file.Clear();
  EXPECT_TRUE(file.Good());
}

TEST(TempFile, KilledProcessLeavesNothingBehind) {
  ScopedTempDir dir;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    std::vector<std::unique_ptr<VORN_TempFile>> files;
    const auto data = Pattern(1 << 20, 3);
    for (int f = 0; f < 4; ++f) {
      files.push_back(std::make_unique<VORN_TempFile>(f % 2 ? "merge" : "sort", true));
      files.back()->Write(data.data(), data.size());
      files.back()->Flush();
    }
    const char done = 'x';
    if (::write(ready[1], &done, 1) != 1) ::_exit(3);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char done = 0;
  ASSERT_EQ(::read(ready[0], &done, 1), 1) << "the child did not get to write its files";
  ::close(ready[0]);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(dir.Entries().empty()) << dir.Entries().front();
}

TEST(TempFile, CopySeesEverythingWrittenAndKeepsItsOwnPosition) {
  ScopedTempDir dir;
  ScopedBufferSize size(4096);
  VORN_TempFile writer("sort", true);
  const auto data = Pattern(10000, 5);
  for (std::size_t at = 0; at < data.size(); at += 100) writer.Write(data.data() + at, 100);
  // 10000 % 4096 bytes are still in the writer's buffer.
  VORN_TempFile first(writer);
  VORN_TempFile second(writer);
  EXPECT_EQ(first.Tell(), writer.Tell());
  first.Seek(0, VORN_StrBaseIO::FromStart);
  second.Seek(5000, VORN_StrBaseIO::FromStart);
  EXPECT_EQ(ReadBytes(first, 100), std::vector<unsigned char>(data.begin(), data.begin() + 100));
  EXPECT_EQ(ReadBytes(second, 100),
            std::vector<unsigned char>(data.begin() + 5000, data.begin() + 5100));
  EXPECT_EQ(first.Tell(), 100);
  EXPECT_EQ(second.Tell(), 5100);
  EXPECT_EQ(writer.Tell(), 10000);
  EXPECT_EQ(ReadBytes(first, 20000),
            std::vector<unsigned char>(data.begin() + 100, data.end()));
  EXPECT_TRUE(first.EndOfFile());
}

TEST(TempFile, WritesThroughOneHandleReachACopyAfterSeek) {
  ScopedTempDir dir;
  VORN_TempFile writer("sort", true);
  VORN_TempFile reader(writer);
  const auto data = Pattern(300, 9);
  writer.Write(data.data(), data.size());
  writer.Flush();
  reader.Seek(0, VORN_StrBaseIO::FromStart);
  EXPECT_EQ(ReadBytes(reader, 300), data);
  // Close() const writes out as well.
  const auto more = Pattern(50, 10);
  writer.Write(more.data(), more.size());
  static_cast<const VORN_FileStream&>(writer).Close();
  reader.Seek(300, VORN_StrBaseIO::FromStart);
  EXPECT_EQ(ReadBytes(reader, 50), more);
}

TEST(TempFile, IsSharedFollowsTheHandles) {
  ScopedTempDir dir;
  auto original = std::make_unique<VORN_TempFile>("sort", true);
  EXPECT_FALSE(original->IsShared());
  auto copy = std::make_unique<VORN_TempFile>(*original);
  EXPECT_TRUE(original->IsShared());
  EXPECT_TRUE(copy->IsShared());
  {
    VORN_TempFile third(*copy);
    EXPECT_TRUE(third.IsShared());
  }
  EXPECT_TRUE(original->IsShared());
  copy.reset();
  EXPECT_FALSE(original->IsShared());
  VORN_TempFile fourth(*original);
  fourth.Close();
  EXPECT_FALSE(original->IsShared());
  EXPECT_FALSE(fourth.IsShared());
}

TEST(TempFile, FileOutlivesItsFirstHandle) {
  ScopedTempDir dir;
  ScopedBufferSize size(1024);
  auto writer = std::make_unique<VORN_TempFile>("sort", true);
  const auto data = Pattern(5000, 11);
  writer->Write(data.data(), data.size());
  VORN_TempFile reader(*writer);
  writer.reset();
  EXPECT_FALSE(reader.IsShared());
  reader.Seek(0, VORN_StrBaseIO::FromStart);
  EXPECT_EQ(ReadBytes(reader, data.size()), data);
}

TEST(TempFile, WritesAfterCopyingReachTheFileWhenTheWriterGoes) {
  ScopedTempDir dir;
  auto writer = std::make_unique<VORN_TempFile>("sort", true);
  VORN_TempFile reader(*writer);
  const auto data = Pattern(100, 12);
  writer->Write(data.data(), data.size());
  writer.reset();  // its buffer must not be lost: the reader still needs it
  reader.Seek(0, VORN_StrBaseIO::FromStart);
  EXPECT_EQ(ReadBytes(reader, 100), data);
}

TEST(TempFile, SeeksFromCurrentAndFromEnd) {
  ScopedTempDir dir;
  VORN_TempFile file("sort", true);
  const auto data = Pattern(1000, 13);
  file.Write(data.data(), data.size());
  file.Seek(-10, VORN_StrBaseIO::FromEnd);
  EXPECT_EQ(file.Tell(), 990);
  file.Seek(-90, VORN_StrBaseIO::FromCurrent);
  EXPECT_EQ(file.Tell(), 900);
  EXPECT_EQ(ReadBytes(file, 5), std::vector<unsigned char>(data.begin() + 900, data.begin() + 905));
  // Overwrite in the middle; the size stays.
  file.Seek(10, VORN_StrBaseIO::FromStart);
  const unsigned char patch[3] = {1, 2, 3};
  file.Write(patch, 3);
  file.Seek(0, VORN_StrBaseIO::FromEnd);
  EXPECT_EQ(file.Tell(), 1000);
  file.Seek(9, VORN_StrBaseIO::FromStart);
  EXPECT_EQ(ReadBytes(file, 5),
            (std::vector<unsigned char>{data[9], 1, 2, 3, data[13]}));
}

TEST(TempFile, ClearAndResetEmptiesTheFile) {
  ScopedTempDir dir;
  VORN_TempFile file("sort", true);
  const auto data = Pattern(1000, 14);
  file.Write(data.data(), data.size());
  file.ClearAndReset();
  EXPECT_EQ(file.Tell(), 0);
  file.Seek(0, VORN_StrBaseIO::FromEnd);
  EXPECT_EQ(file.Tell(), 0);
}

TEST(TempFile, FootprintFollowsTheBufferSetting) {
  ScopedTempDir dir;
  EXPECT_GE(isort::platform::FileBufferSize(), 4096u);
  {
    ScopedBufferSize size(64 << 20);
    VORN_TempFile big("sort", true);
    EXPECT_GE(big.Footprint(), 64ul << 20);
    EXPECT_LT(big.Footprint(), (64ul << 20) + 4096);
    VORN_TempFile copy(big);
    EXPECT_GE(copy.Footprint(), 64ul << 20);
  }
  ScopedBufferSize size(1000);
  VORN_TempFile small("sort", true);
  EXPECT_GE(small.Footprint(), 1000u);
  EXPECT_LT(small.Footprint(), 1000u + 4096);
  isort::platform::SetFileBufferSize(0);  // 0 restores the default
  VORN_TempFile usual("sort", true);
  EXPECT_EQ(isort::platform::FileBufferSize(), usual.Footprint() - (small.Footprint() - 1000));
}

TEST(TempFile, KeptNameIsRemovedWithTheLastHandle) {
  ScopedTempDir dir;
  auto file = std::make_unique<VORN_TempFile>("sort", false);
  ASSERT_EQ(dir.Entries().size(), 1u);
  EXPECT_TRUE(StartsWith(dir.Entries().front(), "sort"));
  auto copy = std::make_unique<VORN_TempFile>(*file);
  file.reset();
  EXPECT_EQ(dir.Entries().size(), 1u);
  copy.reset();
  EXPECT_TRUE(dir.Entries().empty());
}

// --- Failures ---

template <typename Operation>
ErrorText CaughtError(Operation operation) {
  try {
    operation();
  } catch (const ErrorText& error) {
    return error;
  }
  ADD_FAILURE() << "no ErrorText was raised";
  return ErrorText();
}

TEST(TempFileFailure, RefusedWriteRaisesAUsefulError) {
  ScopedTempDir dir;
  // In a child: a file-size limit with SIGXFSZ ignored makes the system
  // refuse the write with EFBIG.
  const int status = RunInChild([&] {
    struct rlimit limit {1 << 20, 1 << 20};
    ::signal(SIGXFSZ, SIG_IGN);
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
    VORN_TempFile file("sort", true);
    const auto data = Pattern(4096, 15);
    try {
      for (int i = 0; i < 1024; ++i) file.Write(data.data(), data.size());
      file.Flush();
    } catch (const ErrorText& error) {
      const std::string expected = "cannot write work file " + dir.path() + "/sort";
      if (error.Kind() != ErrorText::kFileWrite) return 11;
      if (error.Detail() != EFBIG) return 12;
      if (!StartsWith(error.Text(), expected)) return 13;
      if (error.Text().find(std::strerror(EFBIG)) == std::string::npos) return 14;
      return 0;
    }
    return 15;  // nothing was refused
  });
  EXPECT_EQ(status, 0) << "10 setup, 11 kind, 12 detail, 13 text, 14 reason, 15 no failure";
}

TEST(TempFileFailure, InjectedCreateFailure) {
  ScopedTempDir dir;
  ScopedFaults faults;
  FailNthFileCall(FileCall::kCreate, 2, EMFILE);
  VORN_TempFile first("sort", true);
  const ErrorText error = CaughtError([] { VORN_TempFile second("merge", true); });
  EXPECT_EQ(error.Kind(), ErrorText::kFileCreate);
  EXPECT_EQ(error.Detail(), EMFILE);
  EXPECT_TRUE(StartsWith(error.Text(), "cannot create work file " + dir.path() + "/merge"))
      << error.Text();
  EXPECT_NE(error.Text().find(std::strerror(EMFILE)), std::string::npos);
  VORN_TempFile third("sort", true);  // the countdown has run out
  EXPECT_TRUE(dir.Entries().empty());
}

TEST(TempFileFailure, WithoutUnnamedFilesFallsBackToUnlinkedNamedOnes) {
  ScopedTempDir dir;
  ScopedFaults faults;
  FailNthFileCall(FileCall::kCreate, 1, EOPNOTSUPP);
  VORN_TempFile file("sort", true);
  EXPECT_TRUE(StartsWith(file.Name(), dir.path() + "/sort")) << file.Name();
  EXPECT_EQ(std::strlen(file.Name()), dir.path().size() + 1 + 4 + 6) << file.Name();
  EXPECT_TRUE(dir.Entries().empty());
  const auto data = Pattern(100, 16);
  file.Write(data.data(), data.size());
  VORN_TempFile reader(file);
  reader.Seek(0, VORN_StrBaseIO::FromStart);
  EXPECT_EQ(ReadBytes(reader, 100), data);
}

TEST(TempFileFailure, InjectedWriteFailure) {
  ScopedTempDir dir;
  ScopedFaults faults;
  ScopedBufferSize size(16);
  VORN_TempFile file("sort", true);
  FailNthFileCall(FileCall::kWrite, 3, ENOSPC);
  const auto data = Pattern(16, 17);
  file.Write(data.data(), 16);  // fills the buffer
  file.Write(data.data(), 16);  // write call 1
  file.Write(data.data(), 16);  // write call 2
  const ErrorText error = CaughtError([&] { file.Write(data.data(), 16); });
  EXPECT_EQ(error.Kind(), ErrorText::kFileWrite);
  EXPECT_EQ(error.Detail(), ENOSPC);
  EXPECT_TRUE(StartsWith(error.Text(), "cannot write work file " + dir.path() + "/sort"))
      << error.Text();
  EXPECT_NE(error.Text().find(std::strerror(ENOSPC)), std::string::npos);
}

TEST(TempFileFailure, InjectedWriteFailureReachesWriteCompressed) {
  ScopedTempDir dir;
  ScopedFaults faults;
  ScopedBufferSize size(64);
  VORN_TempFile file("sort", true);
  FailNthFileCall(FileCall::kWrite, 1, EIO);
  const OBS units[8] = {1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5, 8.5};
  const ErrorText error = CaughtError([&] {
    for (int i = 0; i < 100; ++i) WriteCompressed(file, units, 8);
  });
  EXPECT_EQ(error.Kind(), ErrorText::kFileWrite);
  EXPECT_EQ(error.Detail(), EIO);
}

TEST(TempFileFailure, InjectedFlushFailure) {
  ScopedTempDir dir;
  ScopedFaults faults;
  VORN_TempFile file("sort", true);
  const auto data = Pattern(100, 18);
  file.Write(data.data(), data.size());
  FailNthFileCall(FileCall::kWrite, 1, EDQUOT);
  const ErrorText error = CaughtError([&] { file.Flush(); });
  EXPECT_EQ(error.Kind(), ErrorText::kFileWrite);
  EXPECT_EQ(error.Detail(), EDQUOT);
  // A copy also flushes first, and so fails the same way.
  FailNthFileCall(FileCall::kWrite, 1, EDQUOT);
  EXPECT_EQ(CaughtError([&] { VORN_TempFile copy(file); }).Kind(), ErrorText::kFileWrite);
}

TEST(TempFileFailure, InterruptedCallsAreRetried) {
  ScopedTempDir dir;
  ScopedFaults faults;
  ScopedBufferSize size(16);
  VORN_TempFile file("sort", true);
  const auto data = Pattern(64, 19);
  FailNthFileCall(FileCall::kWrite, 1, EINTR);
  file.Write(data.data(), data.size());
  file.Flush();
  FailNthFileCall(FileCall::kRead, 1, EINTR);
  file.Seek(0, VORN_StrBaseIO::FromStart);
  EXPECT_EQ(ReadBytes(file, 64), data);
}

TEST(TempFileFailure, InjectedReadFailure) {
  ScopedTempDir dir;
  ScopedFaults faults;
  VORN_TempFile file("sort", true);
  const OBS units[3] = {17.0, 0.125, -99.0};
  WriteCompressed(file, units, 3);
  VORN_TempFile reader(file);
  reader.Seek(0, VORN_StrBaseIO::FromStart);
  FailNthFileCall(FileCall::kRead, 1, EIO);
  OBS out[3];
  const ErrorText error = CaughtError([&] { ReadCompressed(reader, out, 3); });
  EXPECT_EQ(error.Kind(), ErrorText::kFileRead);
  EXPECT_EQ(error.Detail(), EIO);
  EXPECT_TRUE(StartsWith(error.Text(), "cannot read work file " + dir.path() + "/sort"))
      << error.Text();
  EXPECT_NE(error.Text().find(std::strerror(EIO)), std::string::npos);
  // The next attempt reads.
  reader.Seek(0, VORN_StrBaseIO::FromStart);
  ReadCompressed(reader, out, 3);
  EXPECT_EQ(out[2], -99.0);
}

TEST(TempFileFailure, InjectedSeekFailureAndNegativeTargets) {
  ScopedTempDir dir;
  ScopedFaults faults;
  VORN_TempFile file("merge", true);
  FailNthFileCall(FileCall::kSeek, 1, EOVERFLOW);
  ErrorText error = CaughtError([&] { file.Seek(0, VORN_StrBaseIO::FromStart); });
  EXPECT_EQ(error.Kind(), ErrorText::kFileSeek);
  EXPECT_EQ(error.Detail(), EOVERFLOW);
  EXPECT_TRUE(StartsWith(error.Text(), "cannot seek in work file " + dir.path() + "/merge"))
      << error.Text();
  error = CaughtError([&] { file.Seek(-1, VORN_StrBaseIO::FromStart); });
  EXPECT_EQ(error.Kind(), ErrorText::kFileSeek);
  EXPECT_EQ(error.Detail(), EINVAL);
}

TEST(TempFileFailure, DestructorsSwallowFailures) {
  ScopedTempDir dir;
  ScopedFaults faults;
  auto writer = std::make_unique<VORN_TempFile>("sort", true);
  VORN_TempFile reader(*writer);
  const auto data = Pattern(100, 20);
  writer->Write(data.data(), data.size());
  FailNthFileCall(FileCall::kWrite, 1, EIO);
  EXPECT_NO_THROW(writer.reset());
  EXPECT_FALSE(reader.IsShared());
}

TEST(TempFileFailure, ClosedHandleRefusesWork) {
  ScopedTempDir dir;
  VORN_TempFile file("sort", true);
  file.Close();
  const unsigned char byte = 1;
  EXPECT_EQ(CaughtError([&] { file.Write(&byte, 1); }).Detail(), EBADF);
  EXPECT_EQ(CaughtError([&] { file.Seek(0, VORN_StrBaseIO::FromStart); }).Kind(),
            ErrorText::kFileSeek);
  EXPECT_STREQ(file.Name(), "");
  EXPECT_FALSE(file.Good());
}

TEST(TempFileFailure, UnusableDirectoryRaisesCreateError) {
  ScopedTempDir dir;
  const std::string missing = dir.path() + "/missing";
  ::setenv("TMPDIR", missing.c_str(), 1);
  const ErrorText error = CaughtError([] { VORN_TempFile file("sort", true); });
  ::setenv("TMPDIR", dir.path().c_str(), 1);
  EXPECT_EQ(error.Kind(), ErrorText::kFileCreate);
  EXPECT_EQ(error.Detail(), ENOENT);
  EXPECT_TRUE(StartsWith(error.Text(), "cannot create work file " + missing + "/sort"))
      << error.Text();
}

}  // namespace
