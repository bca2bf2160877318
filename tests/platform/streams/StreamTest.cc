// Temporary files, and the group codec in memory and through file buffers.
// Failed calls on work files: EngineFaultSweepTest.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Bits.h"
#include "TempDir.h"
#include "TestHooks.h"
#include "vorn/Streams.h"

namespace {

using isort::platform::SetFileBufferSize;
using isort::platform::faults::FailNthFileCall;
using isort::platform::faults::FileCall;
using isort::testing::FromBits;
using Bytes = std::vector<unsigned char>;
using Units = std::vector<OBS>;
using limits = std::numeric_limits<double>;

// An 8-byte string unit: `text` padded with blanks.
double TextUnit(const std::string& text) {
  double unit;
  return std::memcpy(&unit, (text + "        ").data(), sizeof unit), unit;
}

// Units a codec may treat apart, and bit patterns near them.
const Units& Corners() {
  static const Units corners = [] {
    Units units = {0.0, -0.0, -limits::max(), 0.5, 0.1, limits::infinity(),
                   limits::max(), limits::denorm_min(), -limits::denorm_min()};
    for (int n = 0; n <= 8; ++n) units.push_back(TextUnit(std::string("abcdefgh", n)));
    for (double i = 1; i < 1e10; i *= 256) units.insert(units.end(), {i - 1, i, -i});
    for (std::uint64_t bits : {0x7FF8000000000000ull, 0xFFF8000000000001ull,
                               0x7FF0000000000001ull, 0x2020202020202000ull,
                               0x0020202020202020ull, 0x3FF0000000000001ull}) {
      units.push_back(FromBits(bits));
    }
    return units;
  }();
  return corners;
}

// n units, each a corner or a random bit pattern.
Units MixedUnits(std::size_t n, std::mt19937_64& random) {
  Units units(n);
  for (OBS& unit : units) {
    const std::uint64_t r = random();
    unit = (r & 3) == 0 ? FromBits(random()) : Corners()[(r >> 2) % Corners().size()];
  }
  return units;
}

// Groups to write back to back: typical data, nothing, each corner alone
// (from kSized on) mixed groups around the codec's sizes, then many small ones.
std::vector<Units> Groups(std::mt19937_64& random) {
  std::vector<Units> groups(2);
  for (int i = 0; i < 1000; ++i) {
    const OBS kinds[] = {0.0, -limits::max(), TextUnit(""), TextUnit("ab"),
                         static_cast<double>(random() % 1000)};
    groups[0].push_back(kinds[random() % 5]);
  }
  for (OBS unit : Corners()) groups.push_back({unit});
  for (std::size_t n : {7, 8, 9, 17, 127, 128, 129, 255, 256, 257, 300, 4096, 100000}) {
    groups.push_back(MixedUnits(n, random));
  }
  for (int i = 0; i < 1000; ++i) groups.push_back(MixedUnits(random() % 41, random));
  return groups;
}
const std::size_t kSized = 2 + Corners().size();

// Reads `groups` back from `stream` bit for bit (NaN payloads, -0.0).
void ExpectGroups(VORN_StrBaseIO& stream, const std::vector<Units>& groups) {
  for (const Units& units : groups) {
    Units back(units.size());
    ReadCompressed(stream, back.data(), static_cast<long>(back.size()));
    ASSERT_TRUE(units.empty() ||
                std::memcmp(back.data(), units.data(), units.size() * sizeof(OBS)) == 0)
        << units.size() << " units changed";
  }
}

// The bytes of a stream from `start` to `end` (fewer where it ends).
Bytes BytesOf(VORN_StrBaseIO& stream, long start, long end) {
  Bytes bytes(static_cast<std::size_t>(end - start));
  stream.Seek(start, VORN_StrBaseIO::FromStart);
  bytes.resize(stream.Read(bytes.data(), bytes.size()));
  return bytes;
}

// For the scope: TMPDIR is a new directory that the work files must leave
// clean, and file handles get buffers of `bufferBytes`.
struct ScopedSettings : isort::testing::WorkDir {
  explicit ScopedSettings(std::size_t bufferBytes) { SetFileBufferSize(bufferBytes); }
  ~ScopedSettings() {
    EXPECT_TRUE(Clean()) << "a work file left its name or a descriptor";
    SetFileBufferSize(0);
  }
};

// Copies read at their own positions what was written before they were made,
// and the rest once the writer goes. The writer is named and unlinked at once,
// as where files cannot be unnamed: no road leaves a name, even on a SIGKILL.
TEST(TempFile, CopiesReadAtTheirOwnPositionsAndNoNameIsLeft) {
  ScopedSettings scope(4096);
  std::mt19937 random(1);
  Bytes data(30000);
  for (unsigned char& byte : data) byte = static_cast<unsigned char>(random());
  FailNthFileCall(FileCall::kCreate, 1, EOPNOTSUPP);
  auto writer = std::make_unique<VORN_TempFile>("sort", true);
  const auto write = [&](long from, long to) {
    for (long at = from; at < to; at += 100) writer->Write(&data[at], 100);
  };
  // Reads `stream` from where it stands, `from`, to its end, `to`.
  const auto expectRest = [&](VORN_StrBaseIO& stream, long from, long to) {
    Bytes read(static_cast<std::size_t>(to - from) + 100);
    read.resize(stream.Read(read.data(), read.size()));
    EXPECT_TRUE(read == Bytes(&data[from], &data[0] + to) && stream.EndOfFile()) << from;
  };
  EXPECT_FALSE(writer->IsShared());
  write(0, 10000);  // 10000 % 4096 bytes stay in the writer's buffer
  VORN_TempFile first(*writer), second(first);
  EXPECT_TRUE(writer->IsShared() && first.IsShared() && second.IsShared());
  EXPECT_TRUE(std::filesystem::is_empty(scope.path())) << "while open";
  EXPECT_EQ(first.Tell(), 10000);
  second.Seek(5000, VORN_StrBaseIO::FromStart);
  first.Seek(0, VORN_StrBaseIO::FromStart);
  expectRest(first, 0, 10000);
  expectRest(second, 5000, 10000);
  write(10000, 30000);
  writer.reset();  // its buffer must reach the file: the copies still read it
  first.Close();
  EXPECT_FALSE(second.IsShared() || first.IsShared());
  second.Seek(-10100, VORN_StrBaseIO::FromEnd);
  expectRest(second, 19900, 30000);
  if (::fork() == 0) {
    FailNthFileCall(FileCall::kCreate, 1, EOPNOTSUPP);
    VORN_TempFile named("sort", true), unnamed("merge", true), copy(named);
    named.Write("data", 4), unnamed.Write("data", 4), named.Flush(), unnamed.Flush();
    ::raise(SIGKILL);
  }
  int status = 0;
  ::wait(&status);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_TRUE(std::filesystem::is_empty(scope.path())) << "after a SIGKILL";
  EXPECT_TRUE(second.Footprint() >= 4096u && second.Footprint() < 8192u);
  SetFileBufferSize(64 << 20);
  EXPECT_GE(VORN_TempFile(second).Footprint(), 64ul << 20);
}

// Parameter: the buffer size of file handles; 0 for streams in memory.
class Streams : public testing::TestWithParam<std::size_t> {
 protected:
  std::unique_ptr<VORN_StrBaseIO> NewStream() const {
    if (GetParam() != 0) return std::make_unique<VORN_TempFile>("sort", true);
    return std::make_unique<VORN_InMemoryFile>(16);  // far too small a hint: it grows
  }
  // Back to the start, a file through a second handle, as runs are read.
  static void Reopen(std::unique_ptr<VORN_StrBaseIO>& stream) {
    if (auto* file = dynamic_cast<VORN_TempFile*>(stream.get())) {
      stream = std::make_unique<VORN_TempFile>(*file);
    }
    stream->Seek(0, VORN_StrBaseIO::FromStart);
  }

  ScopedSettings scope_{GetParam()};
};

// Groups back to back (typical data shrinks to a third, nothing takes no
// bytes, mixed groups at most a byte per 8 units above raw) decode in
// sequence bit for bit and copy one by one exactly.
TEST_P(Streams, GroupsRoundTripCopyExactlyAndRefuseDamage) {
  std::mt19937_64 random(GetParam() + 1);
  const std::vector<Units> groups = Groups(random);
  std::unique_ptr<VORN_StrBaseIO> stream = NewStream();
  std::vector<long> starts;
  for (const Units& units : groups) {
    const long start = stream->Tell(), n = static_cast<long>(units.size());
    starts.push_back(start);
    WriteCompressed(*stream, units.data(), n);
    ASSERT_LE(stream->Tell() - start, 8 * n + n / 8 + 4) << n << " units grew";
  }
  starts.push_back(stream->Tell());
  EXPECT_LE(starts[1], 8 * 1000 / 3) << "typical data";
  EXPECT_EQ(starts[2], starts[1]) << "an empty group has bytes";
  Reopen(stream);
  ExpectGroups(*stream, groups);
  EXPECT_EQ(stream->Tell(), starts.back());
  VORN_TempFile file("merge", true);
  VORN_InMemoryFile memory(16);
  Bytes expected;  // the groups, last first
  for (std::size_t g = groups.size(); g-- > 0;) {
    const Bytes bytes = BytesOf(*stream, starts[g], starts[g + 1]);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
    for (VORN_StrBaseIO* to : std::initializer_list<VORN_StrBaseIO*>{&file, &memory}) {
      stream->Seek(starts[g], VORN_StrBaseIO::FromStart);
      CopyPrecompressed(*stream, *to, static_cast<long>(groups[g].size()));
      ASSERT_EQ(stream->Tell(), starts[g + 1]);
      ASSERT_EQ(to->Tell(), static_cast<long>(expected.size()));
    }
  }
  VORN_TempFile copy(file);
  const long end = static_cast<long>(expected.size());
  EXPECT_TRUE(BytesOf(copy, 0, end) == expected && BytesOf(memory, 0, end) == expected);

  // Reads or copies groups of `ns` units from `bytes`; true when refused.
  const auto refused = [&](const Bytes& bytes, const std::vector<long>& ns, bool copy) {
    std::unique_ptr<VORN_StrBaseIO> from = NewStream();
    if (!bytes.empty()) from->Write(bytes.data(), bytes.size());
    Reopen(from);
    VORN_InMemoryFile sink(16);
    Units units(301);
    try {
      for (long n : ns) {
        copy ? CopyPrecompressed(*from, sink, n) : ReadCompressed(*from, units.data(), n);
      }
      EXPECT_LE(from->Tell(), static_cast<long>(bytes.size()));
      return false;
    } catch (const ErrorText& error) {
      EXPECT_TRUE(error.Kind() == ErrorText::kCorruptData && error.Detail() == EBADMSG);
      const std::string name = GetParam() ? scope_.path() + "/sort" : "stream in memory";
      EXPECT_NE(error.Text().find(name), std::string::npos) << error.Text();
      return true;
    }
  };
  // The sized groups up to 300 units, cut or damaged, raise a corrupt-data
  // ErrorText and never read outside the stream (the asan build checks that).
  const Bytes run = BytesOf(*stream, starts[kSized], starts[kSized + 11]);
  std::vector<long> counts;
  for (std::size_t g = kSized; g < kSized + 11; ++g) counts.push_back(groups[g].size());
  EXPECT_FALSE(refused(run, counts, false) || refused(run, counts, true)) << "sound";
  ++counts.back();
  EXPECT_TRUE(refused(run, counts, false) && refused(run, counts, true)) << "one more";
  --counts.back();
  for (std::size_t length = 0; length < run.size(); length += GetParam() ? 29 : 1) {
    const Bytes cut(run.begin(), run.begin() + static_cast<long>(length));
    EXPECT_TRUE(refused(cut, counts, false) && refused(cut, counts, true)) << length;
  }
  for (int trial = 0; trial < 100; ++trial) {
    Bytes bytes = run;
    for (int flips = 1 + random() % 4; flips > 0; --flips) {
      bytes[random() % bytes.size()] ^= 1u << random() % 8;
    }
    refused(bytes, counts, trial % 2 != 0);
  }
}

// A file takes groups of up to four units (a run's keys and tag) raw, which
// reads back faster than coded; memory (a batch's payloads) keeps them coded,
// and larger groups are coded in both.
TEST_P(Streams, SmallGroupsGoRawToFilesOnly) {
  std::unique_ptr<VORN_StrBaseIO> stream = NewStream();
  const std::vector<Units> groups = {{1.0, 0.0, 2.0, 4.0}, {1.0, 0.0, 2.0, 3.0, 4.0}};
  std::vector<long> lengths;
  for (const Units& units : groups) {
    const long start = stream->Tell();
    WriteCompressed(*stream, units.data(), static_cast<long>(units.size()));
    lengths.push_back(stream->Tell() - start);
  }
  const bool file = GetParam() != 0;
  EXPECT_EQ(lengths[0] == 1 + 8 * 4, file) << lengths[0] << " bytes for 4 units";
  EXPECT_LT(lengths[1], 1 + 8 * 5) << "5 units raw";
  Reopen(stream);
  ExpectGroups(*stream, groups);
}

// Where the processor has AVX-512, the vector codec writes exactly the bytes
// of the portable one, and each reads what the other wrote.
TEST(GroupCodec, VectorAndPortableCodecsAgree) {
  if (!isort::platform::UseVectorCodec(true)) GTEST_SKIP() << "no AVX-512 with VBMI2 here";
  std::mt19937_64 random(99);
  const std::vector<Units> groups = Groups(random);
  const auto encode = [&groups](bool vector) {
    isort::platform::UseVectorCodec(vector);
    VORN_InMemoryFile stream(16);
    for (const Units& units : groups) {
      WriteCompressed(stream, units.data(), static_cast<long>(units.size()));
    }
    return BytesOf(stream, 0, stream.Tell());
  };
  const Bytes vector = encode(true), portable = encode(false);
  EXPECT_TRUE(vector == portable) << vector.size() << " against " << portable.size() << " bytes";
  for (bool decodeWithVector : {true, false}) {
    isort::platform::UseVectorCodec(decodeWithVector);
    VORN_InMemoryFile stream(16);
    stream.Write(portable.data(), portable.size());
    stream.Seek(0, VORN_StrBaseIO::FromStart);
    SCOPED_TRACE(decodeWithVector ? "vector" : "portable");
    ExpectGroups(stream, groups);
  }
  isort::platform::UseVectorCodec(true);
}

INSTANTIATE_TEST_SUITE_P(InMemoryAndFileBuffers, Streams,
                         testing::Values(0, 1, 7, 333, 4096, 256 * 1024));

}  // namespace
