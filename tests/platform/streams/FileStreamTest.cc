// Named files through VORN_FileStream: fopen-style modes, appending,
// reopening, closing, and errors that name the file.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "StreamTestSupport.h"
#include "vorn/Errors.h"
#include "vorn/Streams.h"

namespace {

using streams_test::ScopedBufferSize;
using streams_test::ScopedTempDir;

std::string Contents(const std::string& path) {
  VORN_FileStream stream;
  stream.Open(path.c_str(), "r");
  std::string text(1 << 16, '\0');
  text.resize(stream.Read(&text[0], text.size()));
  return text;
}

void WriteText(VORN_FileStream& stream, const std::string& text) {
  EXPECT_EQ(stream.Write(text.data(), text.size()), text.size());
}

TEST(FileStream, WriteCloseAndReadBack) {
  ScopedTempDir dir;
  const std::string path = dir.path() + "/plain.txt";
  VORN_FileStream out;
  out.Open(path.c_str(), "w");
  EXPECT_STREQ(out.Name(), path.c_str());
  EXPECT_STREQ(out.GetNameStr().c_str(), path.c_str());
  WriteText(out, "hello, ");
  WriteText(out, "world");
  out.Close();
  EXPECT_STREQ(out.Name(), "");
  EXPECT_EQ(Contents(path), "hello, world");
}

TEST(FileStream, OpenWithDirectoryAndExtNames) {
  ScopedTempDir dir;
  VORN_FileStream out;
  out.Open(ExtNameStr(dir.path()), ExtNameStr("joined.txt"), "w");
  WriteText(out, "abc");
  out.Close();
  VORN_FileStream in;
  in.Open((dir.path() + "/").c_str(), "joined.txt", "r");
  char text[8] = {};
  EXPECT_EQ(in.Read(text, sizeof text), 3u);
  EXPECT_STREQ(text, "abc");
  in.Open(ExtNameStr(dir.path() + "/joined.txt"), "r");  // reopening closes first
  EXPECT_EQ(in.Read(text, 1), 1u);
}

TEST(FileStream, AppendModeWritesAtTheEnd) {
  ScopedTempDir dir;
  const std::string path = dir.path() + "/log.txt";
  {
    VORN_FileStream out;
    out.Open(path.c_str(), "w");
    WriteText(out, "one;");
  }  // the destructor writes out a named file's buffer
  VORN_FileStream log;
  log.Open(path.c_str(), "a+");
  log.Seek(0, VORN_StrBaseIO::FromStart);
  WriteText(log, "two;");
  log.Flush();
  EXPECT_EQ(Contents(path), "one;two;");
}

TEST(FileStream, ReadWriteModeOverwritesInPlace) {
  ScopedTempDir dir;
  const std::string path = dir.path() + "/rw.txt";
  {
    VORN_FileStream out;
    out.Open(path.c_str(), "w");
    WriteText(out, "0123456789");
  }
  VORN_FileStream rw;
  rw.Open(path.c_str(), "r+");
  rw.Seek(3, VORN_StrBaseIO::FromStart);
  WriteText(rw, "xy");
  char text[4] = {};
  EXPECT_EQ(rw.Read(text, 3), 3u);  // reading after writing sees the file
  EXPECT_STREQ(text, "567");
  rw.Close();
  EXPECT_EQ(Contents(path), "012xy56789");
}

TEST(FileStream, ClearAndResetEmptiesANamedFile) {
  ScopedTempDir dir;
  const std::string path = dir.path() + "/reset.txt";
  VORN_FileStream stream;
  stream.Open(path.c_str(), "w+");
  WriteText(stream, "some text");
  stream.Flush();
  stream.ClearAndReset();
  WriteText(stream, "new");
  stream.Close();
  EXPECT_EQ(Contents(path), "new");
}

TEST(FileStream, LargeTransfersBypassTheBuffer) {
  ScopedTempDir dir;
  ScopedBufferSize size(4096);
  const std::string path = dir.path() + "/large.bin";
  std::vector<unsigned char> data(100000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i % 253);
  VORN_FileStream out;
  out.Open(path.c_str(), "w+");
  out.Write(data.data(), 10);
  out.Write(data.data() + 10, data.size() - 10);
  out.Seek(0, VORN_StrBaseIO::FromStart);
  std::vector<unsigned char> back(data.size() + 10);
  EXPECT_EQ(out.Read(back.data(), 5), 5u);
  EXPECT_EQ(out.Read(back.data() + 5, back.size() - 5), data.size() - 5);
  back.resize(data.size());
  EXPECT_EQ(back, data);
  EXPECT_TRUE(out.EndOfFile());
}

TEST(FileStream, MissingFileRaisesCreateErrorNamingIt) {
  ScopedTempDir dir;
  const std::string path = dir.path() + "/absent.txt";
  VORN_FileStream stream;
  try {
    stream.Open(path.c_str(), "r");
    ADD_FAILURE() << "opened a missing file";
  } catch (const ErrorText& error) {
    EXPECT_EQ(error.Kind(), ErrorText::kFileCreate);
    EXPECT_EQ(error.Detail(), ENOENT);
    EXPECT_EQ(error.Text(), "cannot open file " + path + ": " + std::strerror(ENOENT));
  }
}

TEST(FileStream, ModeDecidesWhatIsAllowed) {
  ScopedTempDir dir;
  const std::string path = dir.path() + "/ro.txt";
  {
    VORN_FileStream out;
    out.Open(path.c_str(), "w");
    WriteText(out, "x");
    char byte;
    try {
      out.Read(&byte, 1);
      ADD_FAILURE() << "read from a write-only stream";
    } catch (const ErrorText& error) {
      EXPECT_EQ(error.Kind(), ErrorText::kFileRead);
      EXPECT_EQ(error.Detail(), EBADF);
    }
  }
  VORN_FileStream in;
  in.Open(path.c_str(), "r");
  try {
    in.Write("y", 1);
    ADD_FAILURE() << "wrote to a read-only stream";
  } catch (const ErrorText& error) {
    EXPECT_EQ(error.Kind(), ErrorText::kFileWrite);
    EXPECT_NE(error.Text().find(path), std::string::npos);
  }
  try {
    in.Open(path.c_str(), "q");
    ADD_FAILURE() << "accepted mode q";
  } catch (const ErrorText& error) {
    EXPECT_EQ(error.Detail(), EINVAL);
  }
}

TEST(FileStream, FootprintIsChieflyTheBuffer) {
  ScopedBufferSize size(1 << 20);
  VORN_FileStream stream;
  EXPECT_GE(stream.Footprint(), 1ul << 20);
  EXPECT_LT(stream.Footprint(), (1ul << 20) + 4096);
}

}  // namespace
