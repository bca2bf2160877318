// Byte streams. Temporary files: no trace on disk (also after SIGKILL), second
// handles with their own positions, IsShared, footprints, and the failure
// roads (a write the system refuses, injected create/write/read/seek
// failures) ending in an ErrorText that says what failed, on which file and
// why. Streams in memory, which grow far past their size hint, and named files
// under fopen-style modes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "StreamTestSupport.h"

namespace {

using isort::platform::faults::FailNthFileCall;
using isort::platform::faults::FileCall;
using namespace streams_test;

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Empty when `error` has `kind`, the errno `number`, and a text that begins
// with `start` (what failed, on which file) and gives the system's reason.
std::string Mismatch(const ErrorText& error, unsigned char kind, int number,
                     const std::string& start) {
  const bool useful = error.Kind() == kind && error.Detail() == number &&
                      StartsWith(error.Text(), start) &&
                      error.Text().find(std::strerror(number)) != std::string::npos;
  if (useful) return "";
  return "kind " + std::to_string(error.Kind()) + ", errno " +
         std::to_string(error.Detail()) + ": " + error.Text();
}

// Runs `child` in a forked process, which ends with its exit code.
pid_t Fork(const std::function<int()>& child) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 1;
    try {
      code = child();
    } catch (...) {
    }
    ::_exit(code);
  }
  return pid;
}

// Work files with data and a second handle each; the first takes the road of
// file systems without unnamed files (a named file, unlinked at once).
std::vector<std::unique_ptr<VORN_TempFile>> MakeWorkFiles() {
  FailNthFileCall(FileCall::kCreate, 1, EOPNOTSUPP);
  std::vector<std::unique_ptr<VORN_TempFile>> files;
  const auto data = Pattern(100000, 1);
  for (const char* prefix : {"sort", "merge", "sort"}) {
    files.push_back(std::make_unique<VORN_TempFile>(prefix, true));
    files.back()->Write(data.data(), data.size());
    files.push_back(std::make_unique<VORN_TempFile>(*files.back()));
  }
  return files;
}

TEST(TempFile, LeavesNoTraceAlsoWhenKilled) {
  ScopedSettings scope;
  {
    const auto files = MakeWorkFiles();
    EXPECT_TRUE(scope.Empty()) << "while open";
    EXPECT_TRUE(StartsWith(files[0]->Name(), scope.path() + "/sort")) << files[0]->Name();
    EXPECT_TRUE(StartsWith(files[2]->Name(), scope.path() + "/merge"))
        << files[2]->Name();
    EXPECT_TRUE(StartsWith(files[4]->Name(), scope.path() + "/sort")) << files[4]->Name();
    EXPECT_STRNE(files[4]->Name(), VORN_TempFile("sort", true).Name());
  }
  EXPECT_TRUE(scope.Empty());
  const pid_t pid = Fork([] {
    const auto files = MakeWorkFiles();
    return ::raise(SIGKILL);
  });
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "not killed";
  EXPECT_TRUE(scope.Empty()) << "after SIGKILL";
}

// One handle writes, copies read at their own positions: a copy sees what
// was written before it was made, and what follows once the writer flushes
// or goes. IsShared follows the handles; Footprint follows the buffer size.
TEST(TempFile, CopiesReadWhatWasWrittenAtTheirOwnPositions) {
  ScopedSettings scope(4096);
  const auto data = Pattern(30000, 5);
  auto writer = std::make_unique<VORN_TempFile>("sort", true);
  const auto write = [&](long from, long to) {
    for (long at = from; at < to; at += 100) writer->Write(&data[at], 100);
  };
  // The next bytes of `stream`, up to its end, are data[from, to).
  const auto expectRead = [&](VORN_StrBaseIO& stream, long from, long to) {
    std::vector<unsigned char> read(static_cast<std::size_t>(to - from) + 100);
    read.resize(stream.Read(read.data(), read.size()));
    EXPECT_TRUE(read == std::vector<unsigned char>(&data[from], &data[0] + to));
    EXPECT_TRUE(stream.EndOfFile());
  };
  EXPECT_FALSE(writer->IsShared());
  write(0, 10000);  // 10000 % 4096 bytes stay in the writer's buffer
  auto first = std::make_unique<VORN_TempFile>(*writer);
  VORN_TempFile second(*first);
  EXPECT_TRUE(writer->IsShared() && first->IsShared() && second.IsShared());
  EXPECT_EQ(first->Tell(), 10000);
  second.Seek(5000, VORN_StrBaseIO::FromStart);
  first->Seek(0, VORN_StrBaseIO::FromStart);
  expectRead(*first, 0, 10000);
  expectRead(second, 5000, 10000);
  EXPECT_EQ(writer->Tell(), 10000);
  write(10000, 20000);
  writer->Flush();
  second.Seek(10000, VORN_StrBaseIO::FromStart);
  expectRead(second, 10000, 20000);
  write(20000, 30000);
  writer.reset();  // its buffer must reach the file: the copies still read it
  first.reset();
  VORN_TempFile closed(second);
  EXPECT_TRUE(second.IsShared());
  closed.Close();
  EXPECT_FALSE(second.IsShared() || closed.IsShared());
  second.Seek(-10000, VORN_StrBaseIO::FromEnd);
  second.Seek(-100, VORN_StrBaseIO::FromCurrent);
  expectRead(second, 19900, 30000);
  EXPECT_GE(second.Footprint(), 4096u);
  EXPECT_LT(second.Footprint(), 8192u);
  isort::platform::SetFileBufferSize(64 << 20);
  EXPECT_GE(VORN_TempFile(second).Footprint(), 64ul << 20);
}

// In a child: a file-size limit with SIGXFSZ ignored makes the system refuse
// a write with EFBIG.
TEST(TempFileFailure, WriteRefusedBySystemRaisesAUsefulError) {
  ScopedSettings scope;
  const pid_t pid = Fork([&] {
    const rlimit limit{1 << 20, 1 << 20};
    ::signal(SIGXFSZ, SIG_IGN);
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    std::string mismatch = "nothing was refused";
    try {
      VORN_TempFile file("sort", true);
      const auto data = Pattern(2 << 20, 15);
      file.Write(data.data(), data.size());
      file.Flush();
    } catch (const ErrorText& error) {
      mismatch = Mismatch(error, ErrorText::kFileWrite, EFBIG,
                          "cannot write work file " + scope.path() + "/sort");
    }
    if (!mismatch.empty()) std::fprintf(stderr, "%s\n", mismatch.c_str());
    return mismatch.empty() ? 0 : 1;
  });
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "see the child's message";
}

// Arms the nth next `call` (none for nth 0) to fail with errno `number` and
// checks the ErrorText that `operation` raises.
void ExpectFailure(FileCall call, unsigned long nth, int number, unsigned char kind,
                   const std::string& start, const std::function<void()>& operation) {
  FailNthFileCall(call, nth, number);
  const ErrorText caught = CaughtError(operation);
  isort::platform::faults::ClearFileFaults();
  EXPECT_EQ(Mismatch(caught, kind, number, start), "");
}

TEST(TempFileFailure, FailedCallsRaiseUsefulErrorsAndHandlesRecover) {
  ScopedSettings scope(64);
  const std::string file = " work file " + scope.path() + "/";
  ExpectFailure(FileCall::kCreate, 2, EMFILE, ErrorText::kFileCreate,
                "cannot create" + file + "merge",
                [] { VORN_TempFile first("sort", true), second("merge", true); });
  const std::vector<OBS> units = {1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5, 8.5};
  VORN_TempFile full("sort", true);
  ExpectFailure(FileCall::kWrite, 3, ENOSPC, ErrorText::kFileWrite,
                "cannot write" + file + "sort", [&] {
                  for (int i = 0; i < 100; ++i) WriteCompressed(full, units.data(), 8);
                });
  VORN_TempFile runs("merge", true);
  FailNthFileCall(FileCall::kWrite, 1, EINTR);  // interrupted calls are retried
  for (int i = 0; i < 50; ++i) WriteCompressed(runs, units.data(), 8);
  VORN_TempFile reader(runs);
  ExpectFailure(FileCall::kSeek, 1, EOVERFLOW, ErrorText::kFileSeek,
                "cannot seek in" + file + "merge",
                [&] { reader.Seek(0, VORN_StrBaseIO::FromStart); });
  ExpectFailure(FileCall::kSeek, 0, EINVAL, ErrorText::kFileSeek, "cannot seek in" + file,
                [&] { reader.Seek(-1, VORN_StrBaseIO::FromStart); });
  std::vector<OBS> out(8);
  reader.Seek(0, VORN_StrBaseIO::FromStart);
  ExpectFailure(FileCall::kRead, 1, EIO, ErrorText::kFileRead,
                "cannot read" + file + "merge",
                [&] { ReadCompressed(reader, out.data(), 8); });
  reader.Seek(0, VORN_StrBaseIO::FromStart);
  FailNthFileCall(FileCall::kRead, 1, EINTR);
  for (int i = 0; i < 50; ++i) {
    ReadCompressed(reader, out.data(), 8);
    ASSERT_TRUE(SameBits(out, units)) << "group " << i;
  }
  // A destructor cannot report: one with bytes to write out swallows failures.
  auto writer = std::make_unique<VORN_TempFile>(runs);
  writer->Write(units.data(), 8);
  FailNthFileCall(FileCall::kWrite, 1, EIO);
  EXPECT_NO_THROW(writer.reset());
  runs.Close();
  ExpectFailure(FileCall::kWrite, 0, EBADF, ErrorText::kFileWrite, "cannot write",
                [&] { runs.Write(units.data(), 8); });
}

long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

// A large hint only reserves, a small one (or none) grows. Seeks from
// anywhere, short reads, and a gap past the end that reads as zeros.
TEST(InMemoryStream, GrowsPastItsHintAndReservesWithoutTouching) {
  const long before = ResidentBytes();
  VORN_InMemoryFile reserved(1ul << 30);
  EXPECT_LT(ResidentBytes() - before, 8l << 20) << "a 1 GiB hint must not be touched";
  VORN_InMemoryFile small(16);
  VORN_StrBaseIO plain;
  const auto data = Pattern(3 << 20, 7);
  const long size = static_cast<long>(data.size());
  for (VORN_StrBaseIO* stream : std::vector<VORN_StrBaseIO*>{&reserved, &small, &plain}) {
    for (std::size_t at = 0; at < data.size(); at += 4096) stream->Write(&data[at], 4096);
    EXPECT_EQ(stream->Tell(), size);
    stream->Seek(-100, VORN_StrBaseIO::FromEnd);
    stream->Seek(-400, VORN_StrBaseIO::FromCurrent);
    std::vector<unsigned char> back(800);
    EXPECT_EQ(stream->Read(back.data(), back.size()), 500u);
    EXPECT_TRUE(std::equal(data.end() - 500, data.end(), back.begin()));
    EXPECT_TRUE(stream->EndOfFile() && !stream->Good());
    stream->Seek(size + 100, VORN_StrBaseIO::FromStart);
    stream->Write("\xAA", 1);
    std::vector<unsigned char> expected = data;
    expected.resize(data.size() + 100, 0);
    expected.push_back(0xAA);
    EXPECT_TRUE(BytesOf(*stream, 0, size + 200) == expected);
    const auto seekBeforeStart = [&] { stream->Seek(-1, VORN_StrBaseIO::FromStart); };
    EXPECT_EQ(CaughtError(seekBeforeStart).Kind(), ErrorText::kFileSeek);
  }
}

TEST(NamedFile, ModesDecideWhereWritesGo) {
  ScopedSettings scope;
  const std::string path = scope.path() + "/named.txt";
  VORN_FileStream stream;
  stream.Open(ExtNameStr(scope.path()), ExtNameStr("named.txt"), "w");
  stream.Write("0123456789", 10);
  stream.Open((scope.path() + "/").c_str(), "named.txt", "r+");  // closes first
  stream.Seek(3, VORN_StrBaseIO::FromStart);
  stream.Write("xy", 2);
  char text[4] = {};
  EXPECT_EQ(stream.Read(text, 3), 3u);  // reading after writing sees the file
  EXPECT_STREQ(text, "567");
  stream.Open(path.c_str(), "a");
  stream.Write(";", 1);
  stream.Close();
  std::ifstream file(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "012xy56789;");
  const ErrorText error = CaughtError([&] { stream.Open((path + "x").c_str(), "r"); });
  EXPECT_EQ(error.Text(), "cannot open file " + path + "x: " + std::strerror(ENOENT));
}

}  // namespace
