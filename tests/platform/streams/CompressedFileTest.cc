// Groups in temporary files: written through one handle, read back through
// copies, across buffer edges of every size, and copied unchanged between
// files and memory as the engine does when it writes and merges runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "StreamTestSupport.h"
#include "vorn/Errors.h"
#include "vorn/Streams.h"

namespace {

using streams_test::BytesOf;
using streams_test::MixedUnits;
using streams_test::SameBits;
using streams_test::ScopedBufferSize;
using streams_test::ScopedTempDir;

struct WrittenGroup {
  std::vector<OBS> units;
  long start;
};

// Writes `count` groups of 0 to 40 units; records where each starts.
std::vector<WrittenGroup> WriteGroups(VORN_StrBaseIO& stream, int count, std::mt19937_64& random) {
  std::vector<WrittenGroup> groups;
  for (int g = 0; g < count; ++g) {
    WrittenGroup group{MixedUnits(random() % 41, random), stream.Tell()};
    WriteCompressed(stream, group.units.data(), static_cast<long>(group.units.size()));
    groups.push_back(std::move(group));
  }
  return groups;
}

void ExpectGroupsReadBack(VORN_StrBaseIO& stream, const std::vector<WrittenGroup>& groups) {
  stream.Seek(groups.front().start, VORN_StrBaseIO::FromStart);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    ASSERT_EQ(stream.Tell(), groups[g].start) << "group " << g;
    std::vector<OBS> units(groups[g].units.size());
    ReadCompressed(stream, units.data(), static_cast<long>(units.size()));
    ASSERT_TRUE(SameBits(units, groups[g].units)) << "group " << g;
  }
}

class BufferSizes : public testing::TestWithParam<std::size_t> {};

TEST_P(BufferSizes, GroupsCrossBufferEdgesIntact) {
  ScopedTempDir dir;
  ScopedBufferSize size(GetParam());
  std::mt19937_64 random(GetParam());
  auto writer = std::make_unique<VORN_TempFile>("sort", true);
  const std::vector<WrittenGroup> groups = WriteGroups(*writer, 2000, random);
  const long end = writer->Tell();
  VORN_TempFile reader(*writer);
  writer.reset();  // the engine drops its writing handle while readers live
  ExpectGroupsReadBack(reader, groups);
  EXPECT_EQ(reader.Tell(), end);
}

TEST_P(BufferSizes, CopiesBetweenMemoryAndFilesAreByteIdentical) {
  ScopedTempDir dir;
  ScopedBufferSize size(GetParam());
  std::mt19937_64 random(GetParam() + 1);
  VORN_InMemoryFile payloads(64);
  const std::vector<WrittenGroup> groups = WriteGroups(payloads, 500, random);
  const long payloadEnd = payloads.Tell();

  // Memory to file, in reverse order as a sorted run would take them.
  VORN_TempFile run("sort", true);
  std::vector<long> runStarts;
  for (std::size_t g = groups.size(); g-- > 0;) {
    runStarts.push_back(run.Tell());
    payloads.Seek(groups[g].start, VORN_StrBaseIO::FromStart);
    CopyPrecompressed(payloads, run, static_cast<long>(groups[g].units.size()));
    const long groupEnd = g + 1 < groups.size() ? groups[g + 1].start : payloadEnd;
    ASSERT_EQ(payloads.Tell(), groupEnd);
    ASSERT_EQ(run.Tell() - runStarts.back(), groupEnd - groups[g].start);
  }
  const long runEnd = run.Tell();

  // File to file, and file back to memory.
  VORN_TempFile reader(run);
  VORN_TempFile merged("merge", true);
  reader.Seek(0, VORN_StrBaseIO::FromStart);
  for (std::size_t g = groups.size(); g-- > 0;) {
    CopyPrecompressed(reader, merged, static_cast<long>(groups[g].units.size()));
  }
  EXPECT_EQ(merged.Tell(), runEnd);
  VORN_TempFile mergedReader(merged);
  mergedReader.Seek(0, VORN_StrBaseIO::FromStart);
  VORN_InMemoryFile back(16);
  for (std::size_t g = groups.size(); g-- > 0;) {
    CopyPrecompressed(mergedReader, back, static_cast<long>(groups[g].units.size()));
  }
  EXPECT_EQ(back.Tell(), runEnd);
  EXPECT_EQ(BytesOf(back, 0, runEnd), BytesOf(mergedReader, 0, runEnd));
  EXPECT_EQ(BytesOf(reader, 0, runEnd), BytesOf(mergedReader, 0, runEnd));

  // Every group decodes from the end copy.
  back.Seek(0, VORN_StrBaseIO::FromStart);
  for (std::size_t g = groups.size(); g-- > 0;) {
    std::vector<OBS> units(groups[g].units.size());
    ReadCompressed(back, units.data(), static_cast<long>(units.size()));
    ASSERT_TRUE(SameBits(units, groups[g].units)) << "group " << g;
  }
}

TEST_P(BufferSizes, TruncatedGroupAtTheEndOfAFileIsRefused) {
  ScopedTempDir dir;
  ScopedBufferSize size(GetParam());
  std::mt19937_64 random(GetParam() + 2);
  VORN_TempFile file("sort", true);
  const std::vector<OBS> units = MixedUnits(30, random);
  WriteCompressed(file, units.data(), 30);
  const long whole = file.Tell();
  for (long length = 0; length < whole; length += 1 + whole / 13) {
    VORN_TempFile cut("sort", true);
    cut.Write(BytesOf(file, 0, length).data(), static_cast<unsigned long>(length));
    VORN_TempFile reader(cut);
    reader.Seek(0, VORN_StrBaseIO::FromStart);
    std::vector<OBS> out(30);
    try {
      ReadCompressed(reader, out.data(), 30);
      ADD_FAILURE() << "a group cut to " << length << " bytes was accepted";
    } catch (const ErrorText& error) {
      EXPECT_EQ(error.Kind(), ErrorText::kCorruptData);
      EXPECT_NE(error.Text().find(dir.path() + "/sort"), std::string::npos) << error.Text();
    }
  }
}

// Damaged runs read through small file buffers: the decoder works on the
// heap buffer's edges, where the asan build sees any stray byte.
TEST_P(BufferSizes, DamagedRunsNeverEscapeTheBuffer) {
  ScopedTempDir dir;
  ScopedBufferSize size(GetParam());
  std::mt19937_64 random(GetParam() + 3);
  VORN_InMemoryFile clean(64);
  const std::vector<WrittenGroup> groups = WriteGroups(clean, 60, random);
  const std::vector<unsigned char> original = BytesOf(clean, 0, clean.Tell());
  int refused = 0;
  for (int trial = 0; trial < 60; ++trial) {
    std::vector<unsigned char> bytes = original;
    bytes[random() % bytes.size()] ^= static_cast<unsigned char>(1 + random() % 255);
    if (trial % 2 == 0) bytes.resize(random() % bytes.size());
    VORN_TempFile file("sort", true);
    if (!bytes.empty()) file.Write(bytes.data(), bytes.size());
    VORN_TempFile reader(file);
    reader.Seek(0, VORN_StrBaseIO::FromStart);
    try {
      for (const WrittenGroup& group : groups) {
        std::vector<OBS> units(group.units.size());
        ReadCompressed(reader, units.data(), static_cast<long>(units.size()));
      }
      EXPECT_LE(reader.Tell(), static_cast<long>(bytes.size()));
    } catch (const ErrorText& error) {
      EXPECT_EQ(error.Kind(), ErrorText::kCorruptData) << error.Text();
      ++refused;
    }
  }
  EXPECT_GE(refused, 30) << "every cut run must be refused";
}

INSTANTIATE_TEST_SUITE_P(Streams, BufferSizes,
                         testing::Values(1, 7, 64, 333, 4096, 256 * 1024));

// The engine's pattern: one writer puts runs one after another into a file;
// the merge opens one copy per run and reads them interleaved.
TEST(WorkFilePattern, InterleavedRunReadersOnOneFile) {
  ScopedTempDir dir;
  ScopedBufferSize size(512);
  std::mt19937_64 random(23);
  constexpr int kRuns = 40;
  auto writer = std::make_unique<VORN_TempFile>("sort", true);
  std::vector<std::vector<WrittenGroup>> runs;
  for (int r = 0; r < kRuns; ++r) runs.push_back(WriteGroups(*writer, 50 + r, random));

  std::vector<std::unique_ptr<VORN_TempFile>> readers;
  for (const auto& run : runs) {
    readers.push_back(std::make_unique<VORN_TempFile>(*writer));
    readers.back()->Seek(run.front().start, VORN_StrBaseIO::FromStart);
  }
  writer.reset();
  std::vector<std::size_t> next(kRuns, 0);
  for (bool any = true; any;) {
    any = false;
    for (int r = 0; r < kRuns; ++r) {
      // Uneven turns, as a heap merge takes them.
      for (std::size_t turn = 0; turn < 1 + random() % 3 && next[r] < runs[r].size(); ++turn) {
        const WrittenGroup& group = runs[r][next[r]++];
        ASSERT_EQ(readers[r]->Tell(), group.start);
        std::vector<OBS> units(group.units.size());
        ReadCompressed(*readers[r], units.data(), static_cast<long>(units.size()));
        ASSERT_TRUE(SameBits(units, group.units)) << "run " << r;
        any = true;
      }
    }
  }
}

}  // namespace
