// Streams in memory: growth past the size hint, seeks, short reads, and the
// reservation that costs no memory until it is written.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <random>
#include <vector>

#include "StreamTestSupport.h"
#include "vorn/Errors.h"
#include "vorn/Streams.h"

namespace {

using streams_test::MixedUnits;
using streams_test::SameBits;

long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0;
  long resident = 0;
  statm >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

std::vector<unsigned char> Pattern(std::size_t bytes) {
  std::vector<unsigned char> data(bytes);
  for (std::size_t i = 0; i < bytes; ++i) data[i] = static_cast<unsigned char>(i * 7 + i / 251);
  return data;
}

TEST(InMemoryFile, GrowsFarPastItsHint) {
  VORN_InMemoryFile stream(16);
  const auto data = Pattern(3 << 20);
  for (std::size_t at = 0; at < data.size(); at += 4096) {
    ASSERT_EQ(stream.Write(data.data() + at, 4096), 4096u);
  }
  EXPECT_EQ(stream.Tell(), static_cast<long>(data.size()));
  stream.Seek(0, VORN_StrBaseIO::FromStart);
  std::vector<unsigned char> back(data.size());
  EXPECT_EQ(stream.Read(back.data(), back.size()), data.size());
  EXPECT_EQ(back, data);
}

TEST(InMemoryFile, GroupsWrittenPastTheHintReadBackFromAnyStart) {
  std::mt19937_64 random(29);
  VORN_InMemoryFile stream(100);  // far too small: every growth path runs
  std::vector<std::vector<OBS>> groups;
  std::vector<long> starts;
  for (int g = 0; g < 20000; ++g) {
    groups.push_back(MixedUnits(1 + random() % 12, random));
    starts.push_back(stream.Tell());
    WriteCompressed(stream, groups.back().data(), static_cast<long>(groups.back().size()));
  }
  for (int probe = 0; probe < 2000; ++probe) {
    const std::size_t g = random() % groups.size();
    stream.Seek(starts[g], VORN_StrBaseIO::FromStart);
    std::vector<OBS> units(groups[g].size());
    ReadCompressed(stream, units.data(), static_cast<long>(units.size()));
    ASSERT_TRUE(SameBits(units, groups[g])) << "group " << g;
  }
}

TEST(InMemoryFile, SeeksAndShortReads) {
  VORN_InMemoryFile stream(1000);
  const auto data = Pattern(1000);
  stream.Write(data.data(), data.size());
  stream.Seek(-100, VORN_StrBaseIO::FromEnd);
  EXPECT_EQ(stream.Tell(), 900);
  stream.Seek(-400, VORN_StrBaseIO::FromCurrent);
  EXPECT_EQ(stream.Tell(), 500);
  std::vector<unsigned char> back(800);
  EXPECT_EQ(stream.Read(back.data(), back.size()), 500u);
  EXPECT_TRUE(std::equal(data.begin() + 500, data.end(), back.begin()));
  EXPECT_TRUE(stream.EndOfFile());
  EXPECT_FALSE(stream.Good());
  stream.Clear();
  EXPECT_TRUE(stream.Good());
  EXPECT_FALSE(stream.EndOfFile());
}

TEST(InMemoryFile, OverwritingKeepsTheSizeAndGapsReadAsZeros) {
  VORN_InMemoryFile stream(64);
  const auto data = Pattern(100);
  stream.Write(data.data(), data.size());
  stream.Seek(10, VORN_StrBaseIO::FromStart);
  const unsigned char patch[2] = {0xAA, 0xBB};
  stream.Write(patch, 2);
  stream.Seek(0, VORN_StrBaseIO::FromEnd);
  EXPECT_EQ(stream.Tell(), 100);
  stream.Seek(200, VORN_StrBaseIO::FromStart);
  stream.Write(patch, 2);
  stream.Seek(98, VORN_StrBaseIO::FromStart);
  std::vector<unsigned char> back(110);
  ASSERT_EQ(stream.Read(back.data(), back.size()), 104u);
  EXPECT_EQ(back[0], data[98]);
  EXPECT_EQ(back[2], 0);
  EXPECT_EQ(back[101], 0);
  EXPECT_EQ(back[102], 0xAA);
  stream.Seek(10, VORN_StrBaseIO::FromStart);
  EXPECT_EQ(stream.Read(back.data(), 3), 3u);
  EXPECT_EQ(back[0], 0xAA);
  EXPECT_EQ(back[2], data[12]);
}

TEST(InMemoryFile, NegativeSeekRaisesSeekError) {
  VORN_InMemoryFile stream(64);
  try {
    stream.Seek(-1, VORN_StrBaseIO::FromStart);
    ADD_FAILURE() << "seek to -1 accepted";
  } catch (const ErrorText& error) {
    EXPECT_EQ(error.Kind(), ErrorText::kFileSeek);
    EXPECT_EQ(error.Detail(), EINVAL);
  }
}

TEST(InMemoryFile, LargeHintReservesWithoutTouchingMemory) {
  const long before = ResidentBytes();
  VORN_InMemoryFile stream(1ul << 30);
  const long reserved = ResidentBytes();
  EXPECT_LT(reserved - before, 8l << 20) << "a 1 GiB hint must not be touched";
  const auto data = Pattern(1 << 20);
  stream.Write(data.data(), data.size());
  EXPECT_EQ(stream.Tell(), 1 << 20);
  stream.Seek(0, VORN_StrBaseIO::FromStart);
  std::vector<unsigned char> back(data.size());
  EXPECT_EQ(stream.Read(back.data(), back.size()), data.size());
  EXPECT_EQ(back, data);
}

// Mappings of this process that asked for transparent huge pages.
int HugePageMappings() {
  std::ifstream smaps("/proc/self/smaps");
  int count = 0;
  for (std::string line; std::getline(smaps, line);) {
    if (line.rfind("VmFlags:", 0) == 0 && (line + " ").find(" hg ") != std::string::npos) {
      ++count;
    }
  }
  return count;
}

TEST(InMemoryFile, LargeStoresAskForHugePagesSmallOnesDoNot) {
  if (!std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled")) {
    GTEST_SKIP() << "no transparent huge pages on this system";
  }
  const int before = HugePageMappings();
  VORN_InMemoryFile small(100000);
  EXPECT_EQ(HugePageMappings(), before);
  VORN_InMemoryFile large(64ul << 20);
  EXPECT_EQ(HugePageMappings(), before + 1);
  // Growing a small store into a large one asks for them too.
  const auto data = Pattern(1 << 20);
  for (int i = 0; i < 12; ++i) small.Write(data.data(), data.size());
  EXPECT_EQ(HugePageMappings(), before + 2);
}

TEST(PlainStream, KeepsItsBytesInMemory) {
  VORN_StrBaseIO stream;
  EXPECT_EQ(stream.Tell(), 0);
  unsigned char byte = 0;
  EXPECT_EQ(stream.Read(&byte, 1), 0u);
  EXPECT_TRUE(stream.EndOfFile());
  stream.Clear();
  const OBS units[4] = {1.0, 2.5, -3.0, 0.0};
  WriteCompressed(stream, units, 4);
  stream.Seek(0, VORN_StrBaseIO::FromStart);
  OBS back[4];
  ReadCompressed(stream, back, 4);
  EXPECT_EQ(std::vector<OBS>(back, back + 4), std::vector<OBS>(units, units + 4));
}

}  // namespace
