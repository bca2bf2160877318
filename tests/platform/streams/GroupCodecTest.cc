// The group codec through WriteCompressed, ReadCompressed and
// CopyPrecompressed on streams in memory: exact round trips, sizes, and
// refusal of truncated or damaged groups.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <random>
#include <vector>

#include "StreamTestSupport.h"
#include "vorn/Errors.h"
#include "vorn/Streams.h"

namespace {

using streams_test::AdversarialUnits;
using streams_test::Bits;
using streams_test::BytesOf;
using streams_test::FromBits;
using streams_test::kSystemMissing;
using streams_test::MixedUnits;
using streams_test::SameBits;
using streams_test::TextUnit;

// The bytes WriteCompressed makes of `units`.
std::vector<unsigned char> Encoded(const std::vector<OBS>& units) {
  VORN_InMemoryFile stream(64);
  WriteCompressed(stream, units.data(), static_cast<long>(units.size()));
  return BytesOf(stream, 0, stream.Tell());
}

std::vector<OBS> Decoded(const std::vector<unsigned char>& bytes, long n) {
  VORN_InMemoryFile stream(bytes.size());
  stream.Write(bytes.data(), bytes.size());
  stream.Seek(0, VORN_StrBaseIO::FromStart);
  std::vector<OBS> units(static_cast<std::size_t>(n));
  ReadCompressed(stream, units.data(), n);
  EXPECT_EQ(stream.Tell(), static_cast<long>(bytes.size())) << "the group was not consumed whole";
  return units;
}

// Calls `read` and expects it to throw a corrupt-data ErrorText.
template <typename Read>
void ExpectCorrupt(Read read) {
  try {
    read();
    ADD_FAILURE() << "damaged data was accepted";
  } catch (const ErrorText& error) {
    EXPECT_EQ(error.Kind(), ErrorText::kCorruptData) << error.Text();
    EXPECT_NE(error.Text().find("corrupt compressed data"), std::string::npos) << error.Text();
  }
}

TEST(GroupCodec, EveryAdversarialUnitRoundTripsAlone) {
  for (OBS unit : AdversarialUnits()) {
    SCOPED_TRACE(testing::Message() << std::hex << Bits(unit));
    const std::vector<OBS> units{unit};
    EXPECT_TRUE(SameBits(Decoded(Encoded(units), 1), units));
  }
}

TEST(GroupCodec, RoundTripsForManyCounts) {
  std::mt19937_64 random(42);
  for (std::size_t n : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 63, 64, 127, 128, 129, 255, 256,
                        257, 300, 1000, 4096, 100000}) {
    SCOPED_TRACE(n);
    const std::vector<OBS> units = MixedUnits(n, random);
    EXPECT_TRUE(SameBits(Decoded(Encoded(units), static_cast<long>(n)), units));
  }
}

TEST(GroupCodec, EmptyGroupHasNoBytes) {
  VORN_InMemoryFile stream(64);
  const OBS unit = 1.0;
  WriteCompressed(stream, &unit, 0);
  EXPECT_EQ(stream.Tell(), 0);
  OBS untouched = 7.0;
  ReadCompressed(stream, &untouched, 0);
  EXPECT_EQ(untouched, 7.0);
  EXPECT_EQ(stream.Tell(), 0);
}

TEST(GroupCodec, RandomBitsCostOneByteOverRaw) {
  std::mt19937_64 random(7);
  for (std::size_t n : {1, 3, 8, 100, 1000}) {
    std::vector<OBS> units(n);
    for (auto& unit : units) unit = FromBits(random() | 0x0101010101010101ull);
    const std::vector<unsigned char> bytes = Encoded(units);
    EXPECT_EQ(bytes.size(), 8 * n + 1) << n;
    EXPECT_TRUE(SameBits(Decoded(bytes, static_cast<long>(n)), units));
  }
}

TEST(GroupCodec, NoGroupExceedsRawByMoreThanOneByte) {
  std::mt19937_64 random(11);
  for (int trial = 0; trial < 2000; ++trial) {
    const std::size_t n = 1 + random() % 40;
    const std::vector<OBS> units = MixedUnits(n, random);
    EXPECT_LE(Encoded(units).size(), 8 * n + 1);
  }
}

TEST(GroupCodec, TypicalUnitsShrink) {
  // Header: one mode byte and one tag byte per two units.
  EXPECT_EQ(Encoded(std::vector<OBS>(8, 0.0)).size(), 1u + 4u);
  EXPECT_EQ(Encoded(std::vector<OBS>(8, kSystemMissing)).size(), 1u + 4u);
  EXPECT_EQ(Encoded(std::vector<OBS>(8, TextUnit(""))).size(), 1u + 4u);
  EXPECT_EQ(Encoded({7.0, 200.0}).size(), 1u + 1u + 2u);
  EXPECT_EQ(Encoded({1000.0, 65535.0}).size(), 1u + 1u + 4u);
  EXPECT_EQ(Encoded({9999999.0, 16777215.0}).size(), 1u + 1u + 6u);
  EXPECT_EQ(Encoded({40000000.0, 4294967295.0}).size(), 1u + 1u + 8u);  // row ids
  EXPECT_EQ(Encoded({-99.0, -98.0}).size(), 1u + 1u + 2u);               // run tags
  EXPECT_EQ(Encoded({-1000.0, 0.5}).size(), 1u + 1u + 4u);
  EXPECT_EQ(Encoded({TextUnit("ab"), TextUnit("abcd")}).size(), 1u + 1u + 6u);
  EXPECT_EQ(Encoded({TextUnit("abcdef"), 0.0}).size(), 1u + 1u + 6u);
}

TEST(GroupCodec, GroupsBackToBackDecodeInSequence) {
  std::mt19937_64 random(3);
  VORN_InMemoryFile stream(16);
  std::vector<std::vector<OBS>> written;
  std::vector<long> starts;
  for (int g = 0; g < 3000; ++g) {
    written.push_back(MixedUnits(random() % 20, random));
    starts.push_back(stream.Tell());
    WriteCompressed(stream, written.back().data(), static_cast<long>(written.back().size()));
  }
  stream.Seek(0, VORN_StrBaseIO::FromStart);
  for (std::size_t g = 0; g < written.size(); ++g) {
    ASSERT_EQ(stream.Tell(), starts[g]);
    std::vector<OBS> units(written[g].size());
    ReadCompressed(stream, units.data(), static_cast<long>(units.size()));
    ASSERT_TRUE(SameBits(units, written[g])) << "group " << g;
  }
  // And any group again, from its start.
  for (std::size_t g : {2999, 0, 1500, 7}) {
    stream.Seek(starts[g], VORN_StrBaseIO::FromStart);
    std::vector<OBS> units(written[g].size());
    ReadCompressed(stream, units.data(), static_cast<long>(units.size()));
    EXPECT_TRUE(SameBits(units, written[g])) << "group " << g;
  }
}

TEST(GroupCodec, CopyMovesExactlyOneGroupUnchanged) {
  std::mt19937_64 random(5);
  VORN_InMemoryFile from(16);
  const std::vector<OBS> first = MixedUnits(9, random);
  const std::vector<OBS> second = MixedUnits(4, random);
  WriteCompressed(from, first.data(), 9);
  const long firstEnd = from.Tell();
  WriteCompressed(from, second.data(), 4);
  const long secondEnd = from.Tell();

  VORN_InMemoryFile to(16);
  const OBS lead = 3.0;
  WriteCompressed(to, &lead, 1);
  const long copyStart = to.Tell();
  from.Seek(0, VORN_StrBaseIO::FromStart);
  CopyPrecompressed(from, to, 9);
  EXPECT_EQ(from.Tell(), firstEnd);
  EXPECT_EQ(to.Tell() - copyStart, firstEnd);
  EXPECT_EQ(BytesOf(to, copyStart, to.Tell()), BytesOf(from, 0, firstEnd));

  // The second group still decodes from where the copy left `from`.
  from.Seek(firstEnd, VORN_StrBaseIO::FromStart);
  std::vector<OBS> units(4);
  ReadCompressed(from, units.data(), 4);
  EXPECT_TRUE(SameBits(units, second));
  EXPECT_EQ(from.Tell(), secondEnd);
}

TEST(GroupCodec, ReadingWithAnotherCountIsRefused) {
  const std::vector<unsigned char> bytes = Encoded({1.0, 2.0, 3.0});
  ExpectCorrupt([&] { Decoded(bytes, 4); });
  ExpectCorrupt([&] { Decoded(bytes, 2); });
}

TEST(GroupCodec, EveryTruncationIsRefused) {
  std::mt19937_64 random(13);
  for (std::size_t n : {1, 2, 3, 8, 17, 300}) {
    const std::vector<unsigned char> bytes = Encoded(MixedUnits(n, random));
    for (std::size_t length = 0; length < bytes.size(); ++length) {
      SCOPED_TRACE(testing::Message() << "n " << n << ", " << length << " bytes");
      const std::vector<unsigned char> cut(bytes.begin(), bytes.begin() + length);
      ExpectCorrupt([&] { Decoded(cut, static_cast<long>(n)); });
      ExpectCorrupt([&] {
        VORN_InMemoryFile from(cut.size());
        if (!cut.empty()) from.Write(cut.data(), cut.size());
        from.Seek(0, VORN_StrBaseIO::FromStart);
        VORN_InMemoryFile to(16);
        CopyPrecompressed(from, to, static_cast<long>(n));
      });
    }
  }
}

TEST(GroupCodec, UnknownModeByteIsRefused) {
  std::vector<unsigned char> bytes = Encoded({1.0, 2.0, 3.0});
  for (unsigned mode = 0; mode < 256; ++mode) {
    if (mode == (0x80u | 3u) || mode == 3u) continue;  // coded or raw, n = 3
    bytes[0] = static_cast<unsigned char>(mode);
    ExpectCorrupt([&] { Decoded(bytes, 3); });
  }
}

TEST(GroupCodec, NonZeroPaddingNibbleIsRefused) {
  std::vector<unsigned char> bytes = Encoded({1.0, 2.0, 3.0});
  ASSERT_EQ(bytes[0], 0x80 | 3);
  bytes[2] |= 0x10;  // the unused high nibble of the last tag byte
  ExpectCorrupt([&] { Decoded(bytes, 3); });
}

// Damaged streams either decode to something or raise ErrorText; they never
// crash or read outside the stream (the asan build checks the latter).
TEST(GroupCodec, RandomDamageNeverEscapesTheStream) {
  std::mt19937_64 random(17);
  const std::vector<long> counts = {3, 8, 3, 8, 1, 20};
  VORN_InMemoryFile clean(64);
  for (int row = 0; row < 50; ++row) {
    for (long n : counts) {
      const std::vector<OBS> units = MixedUnits(static_cast<std::size_t>(n), random);
      WriteCompressed(clean, units.data(), n);
    }
  }
  const std::vector<unsigned char> original = BytesOf(clean, 0, clean.Tell());
  int refused = 0;
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<unsigned char> bytes = original;
    const int damage = 1 + static_cast<int>(random() % 4);
    for (int d = 0; d < damage; ++d) bytes[random() % bytes.size()] ^= 1u << (random() % 8);
    if (trial % 3 == 0) bytes.resize(random() % bytes.size());
    VORN_InMemoryFile stream(bytes.size());
    if (!bytes.empty()) stream.Write(bytes.data(), bytes.size());
    stream.Seek(0, VORN_StrBaseIO::FromStart);
    std::vector<OBS> units(20);
    try {
      for (int row = 0; row < 50; ++row) {
        for (long n : counts) {
          if (trial % 2 == 0) {
            ReadCompressed(stream, units.data(), n);
          } else {
            VORN_InMemoryFile sink(16);
            CopyPrecompressed(stream, sink, n);
          }
        }
      }
      EXPECT_LE(stream.Tell(), static_cast<long>(bytes.size()));
    } catch (const ErrorText& error) {
      EXPECT_EQ(error.Kind(), ErrorText::kCorruptData);
      EXPECT_EQ(error.Detail(), EBADMSG);
      ++refused;
    }
  }
  EXPECT_GT(refused, 100) << "most damage shifts the groups and must be noticed";
}

TEST(GroupCodec, RandomBytesAreNeverTrusted) {
  std::mt19937_64 random(19);
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<unsigned char> bytes(random() % 200);
    for (auto& byte : bytes) byte = static_cast<unsigned char>(random());
    VORN_InMemoryFile stream(bytes.size());
    if (!bytes.empty()) stream.Write(bytes.data(), bytes.size());
    stream.Seek(0, VORN_StrBaseIO::FromStart);
    const long n = 1 + static_cast<long>(random() % 30);
    std::vector<OBS> units(static_cast<std::size_t>(n));
    try {
      ReadCompressed(stream, units.data(), n);
      EXPECT_LE(stream.Tell(), static_cast<long>(bytes.size()));
    } catch (const ErrorText& error) {
      EXPECT_EQ(error.Kind(), ErrorText::kCorruptData);
    }
  }
}

}  // namespace
