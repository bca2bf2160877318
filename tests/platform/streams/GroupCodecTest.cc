// The group codec through WriteCompressed, ReadCompressed and
// CopyPrecompressed: bit-exact round trips and sizes, then groups back to
// back on every kind of stream (in memory, and files whose buffers groups
// cross at every size): read in sequence and by interleaved readers, copied
// exactly, and refused with an ErrorText when truncated or damaged.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "StreamTestSupport.h"

namespace {

using namespace streams_test;

// The bytes WriteCompressed makes of `units`.
std::vector<unsigned char> Encoded(const std::vector<OBS>& units) {
  VORN_InMemoryFile stream(64);
  WriteCompressed(stream, units.data(), static_cast<long>(units.size()));
  return BytesOf(stream, 0, stream.Tell());
}

// Every corner alone, and mixed groups of many sizes, back to back: each
// comes back bit for bit and costs at most a byte per 8 units above raw.
TEST(GroupCodec, RoundTripsBitForBitBackToBackAndStaysSmall) {
  std::mt19937_64 random(42);
  std::vector<std::vector<OBS>> groups;
  for (OBS unit : Corners()) groups.push_back({unit});
  for (std::size_t n : {2, 3, 7, 8, 9, 17, 127, 128, 129, 255, 256, 257, 4096, 100000}) {
    groups.push_back(MixedUnits(n, random));
  }
  for (int i = 0; i < 2000; ++i) groups.push_back(MixedUnits(1 + random() % 40, random));
  VORN_InMemoryFile stream(16);
  for (const std::vector<OBS>& units : groups) {
    const long start = stream.Tell(), n = static_cast<long>(units.size());
    WriteCompressed(stream, units.data(), n);
    ASSERT_LE(stream.Tell() - start, 8 * n + n / 8 + 4) << n << " units grew";
  }
  const long end = stream.Tell();
  stream.Seek(0, VORN_StrBaseIO::FromStart);
  for (const std::vector<OBS>& units : groups) {
    std::vector<OBS> back(units.size());
    ReadCompressed(stream, back.data(), static_cast<long>(back.size()));
    ASSERT_TRUE(SameBits(back, units)) << back.size() << " units changed";
  }
  EXPECT_EQ(stream.Tell(), end);
  // Data typical of statistics shrinks well.
  std::vector<OBS> typical(1000);
  for (OBS& unit : typical) {
    const OBS kinds[] = {0.0, kSystemMissing, TextUnit(""), TextUnit("ab"),
                         static_cast<double>(random() % 1000)};
    unit = kinds[random() % 5];
  }
  EXPECT_LE(Encoded(typical).size(), 8 * typical.size() / 3);
  EXPECT_TRUE(Encoded({}).empty()) << "an empty group has bytes";
}

struct Group {
  std::vector<OBS> units;
  long start, end;
};

// Parameter: the buffer size of file handles; 0 for a stream in memory.
class Streams : public testing::TestWithParam<std::size_t> {
 protected:
  bool IsFile() const { return GetParam() != 0; }

  // An empty stream of the kind under test.
  std::unique_ptr<VORN_StrBaseIO> NewStream() const {
    if (IsFile()) return std::make_unique<VORN_TempFile>("sort", true);
    return std::make_unique<VORN_InMemoryFile>(16);  // far too small: it grows
  }
  // A second handle on a file, at its start; null for a stream in memory.
  static std::unique_ptr<VORN_StrBaseIO> SecondHandle(VORN_StrBaseIO& stream) {
    auto* file = dynamic_cast<VORN_TempFile*>(&stream);
    if (file == nullptr) return nullptr;
    auto handle = std::make_unique<VORN_TempFile>(*file);
    handle->Seek(0, VORN_StrBaseIO::FromStart);
    return handle;
  }

  ScopedSettings scope_{GetParam()};
};

std::vector<Group> WriteGroups(VORN_StrBaseIO& to, int count, std::mt19937_64& random) {
  std::vector<Group> groups;
  for (int g = 0; g < count; ++g) {
    Group group{MixedUnits(random() % 41, random), to.Tell(), 0};
    WriteCompressed(to, group.units.data(), static_cast<long>(group.units.size()));
    group.end = to.Tell();
    groups.push_back(std::move(group));
  }
  return groups;
}

// The engine's pattern: runs of groups written one after another; the merge
// reads them interleaved with one handle per run (the writing handle gone),
// and copies groups unchanged between memory and files.
TEST_P(Streams, GroupsBackToBackReadInterleavedAndCopyExactly) {
  std::mt19937_64 random(GetParam() + 1);
  std::unique_ptr<VORN_StrBaseIO> stream = NewStream();
  std::vector<std::vector<Group>> runs;
  for (int r = 0; r < 30; ++r) runs.push_back(WriteGroups(*stream, 20 + r, random));
  std::vector<std::unique_ptr<VORN_StrBaseIO>> handles;
  for (std::size_t r = 0; r < runs.size() && IsFile(); ++r) {
    handles.push_back(SecondHandle(*stream));
    handles.back()->Seek(runs[r].front().start, VORN_StrBaseIO::FromStart);
  }
  if (IsFile()) stream = SecondHandle(*stream);
  std::vector<std::size_t> next(runs.size(), 0);
  for (bool any = true; any;) {
    any = false;
    for (std::size_t r = 0; r < runs.size(); ++r) {
      // Uneven turns, as a heap merge takes them.
      for (auto turns = 1 + random() % 3; turns > 0 && next[r] < runs[r].size();
           --turns) {
        const Group& group = runs[r][next[r]++];
        VORN_StrBaseIO& reader = IsFile() ? *handles[r] : *stream;
        if (!IsFile()) reader.Seek(group.start, VORN_StrBaseIO::FromStart);
        ASSERT_EQ(reader.Tell(), group.start);
        std::vector<OBS> units(group.units.size());
        ReadCompressed(reader, units.data(), static_cast<long>(units.size()));
        ASSERT_TRUE(SameBits(units, group.units) && reader.Tell() == group.end);
        any = true;
      }
    }
  }
  // Each group alone, last first, into a file and on from there into memory
  // (file to file, memory to file, file to memory): exactly its bytes.
  std::vector<Group> groups;
  for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
    groups.insert(groups.end(), run->rbegin(), run->rend());
  }
  VORN_TempFile merged("merge", true);
  std::vector<unsigned char> expected;
  for (const Group& group : groups) {
    const std::vector<unsigned char> bytes = BytesOf(*stream, group.start, group.end);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
    stream->Seek(group.start, VORN_StrBaseIO::FromStart);
    CopyPrecompressed(*stream, merged, static_cast<long>(group.units.size()));
    ASSERT_EQ(stream->Tell(), group.end);
    ASSERT_EQ(merged.Tell(), static_cast<long>(expected.size()));
  }
  VORN_TempFile reader(merged);
  VORN_InMemoryFile back(16);
  reader.Seek(0, VORN_StrBaseIO::FromStart);
  for (const Group& group : groups) {
    CopyPrecompressed(reader, back, static_cast<long>(group.units.size()));
  }
  const long end = static_cast<long>(expected.size());
  EXPECT_EQ(back.Tell(), end);
  EXPECT_TRUE(BytesOf(reader, 0, end) == expected && BytesOf(back, 0, end) == expected);
}

// Truncated and damaged groups raise a corrupt-data ErrorText (naming the
// file) and never read outside the stream or its buffers (the asan build
// checks that); whatever decodes stays inside the stream.
TEST_P(Streams, TruncatedOrDamagedGroupsRaiseErrorText) {
  std::mt19937_64 random(GetParam() + 2);
  // Reads or copies groups of `counts` from `bytes`; true when refused.
  const auto refused = [&](const std::vector<unsigned char>& bytes,
                           const std::vector<long>& counts, bool copy) {
    std::unique_ptr<VORN_StrBaseIO> from = NewStream();
    if (!bytes.empty()) from->Write(bytes.data(), bytes.size());
    if (IsFile()) from = SecondHandle(*from);  // as the engine reads runs
    from->Seek(0, VORN_StrBaseIO::FromStart);
    VORN_InMemoryFile sink(16);
    std::vector<OBS> units(301);
    try {
      for (long n : counts) {
        copy ? CopyPrecompressed(*from, sink, n) : ReadCompressed(*from, units.data(), n);
      }
      EXPECT_LE(from->Tell(), static_cast<long>(bytes.size()));
      return false;
    } catch (const ErrorText& error) {
      EXPECT_EQ(error.Kind(), ErrorText::kCorruptData);
      EXPECT_EQ(error.Detail(), EBADMSG);
      const std::string name = IsFile() ? scope_.path() + "/sort" : "";
      EXPECT_NE(error.Text().find(name), std::string::npos) << error.Text();
      return true;
    }
  };
  for (long n : {1, 2, 3, 8, 17, 300}) {
    const std::vector<unsigned char> bytes = Encoded(MixedUnits(n, random));
    EXPECT_TRUE(refused(bytes, {n + 1}, false) && refused(bytes, {n + 1}, true))
        << "read or copied with another unit count";
    const std::size_t step = IsFile() ? 1 + bytes.size() / 13 : 1;
    for (std::size_t length = 0; length < bytes.size(); length += step) {
      const std::vector<unsigned char> cut(bytes.begin(), bytes.begin() + length);
      EXPECT_TRUE(refused(cut, {n}, false) && refused(cut, {n}, true))
          << n << " units cut to " << length << " bytes";
    }
  }
  VORN_InMemoryFile clean(64);
  const std::vector<Group> groups = WriteGroups(clean, 60, random);
  const std::vector<unsigned char> original = BytesOf(clean, 0, clean.Tell());
  std::vector<long> counts;
  for (const Group& group : groups) {
    counts.push_back(static_cast<long>(group.units.size()));
  }
  int refusals = 0;
  for (int trial = 0; trial < 60; ++trial) {
    std::vector<unsigned char> bytes = original;
    for (int flips = 1 + random() % 4; flips > 0; --flips) {
      bytes[random() % bytes.size()] ^= 1u << random() % 8;
    }
    if (trial % 2 == 0) bytes.resize(random() % bytes.size());
    refusals += refused(bytes, counts, trial % 4 < 2);
  }
  EXPECT_GE(refusals, 30) << "a cut run must be refused";
}

INSTANTIATE_TEST_SUITE_P(InMemoryAndFileBuffers, Streams,
                         testing::Values(0, 1, 7, 333, 4096, 256 * 1024));

}  // namespace
