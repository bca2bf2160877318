// srtfpk_: the packed record it writes, the code chosen for each kind of unit,
// and the layout of the code groups.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <random>
#include <vector>

#include "RecordModel.h"
#include "isort/sortfile.h"

namespace {

using namespace records_test;

constexpr INTEGER kPlain = 0;
constexpr INTEGER kCompressed = 1;

// The code srtfpk_ gives one unit, from a record whose only pair is coded.
unsigned PackedCode(std::uint64_t v) {
  const Units record = PackRecord({v}, {{1, 1}}, 0, kCompressed, kNoKeyFields);
  EXPECT_EQ(record.size(), BytesOf(record[2])[0] == '\xFD' ? 4u : 3u);
  return static_cast<unsigned char>(BytesOf(record[2])[0]);
}

// Keeps the host's system-missing value as it was, for tests that change it.
class MissingValue : public testing::Test {
 protected:
  void TearDown() override { CmnGlb[1] = saved_; }
  const double saved_ = CmnGlb[1];
};

TEST(PackCodes, ExamplesOfEachKind) {
  EXPECT_EQ(PackedCode(Bits(1.0)), 101u);
  EXPECT_EQ(PackedCode(Bits(-99.0)), 1u);
  EXPECT_EQ(PackedCode(Bits(151.0)), 251u);
  EXPECT_EQ(PackedCode(Bits(-1.0)), 99u);
  EXPECT_EQ(PackedCode(Bits(-98.0)), 2u);
  EXPECT_EQ(PackedCode(Bits(7.0)), 107u);
  EXPECT_EQ(PackedCode(Bits(128.0)), 228u);
  EXPECT_EQ(PackedCode(Bits(0.0)), 100u);
  for (double literal : {152.0, -100.0, 0.5, 3.5, 1e300, -0.0, 1.5, -99.5, 255.0}) {
    SCOPED_TRACE(literal);
    EXPECT_EQ(PackedCode(Bits(literal)), 253u);
  }
  EXPECT_EQ(PackedCode(kBlanks), 254u);
  EXPECT_EQ(PackedCode(Text8("ABCDEFGH")), 253u);
  EXPECT_EQ(PackedCode(Bits(-DBL_MAX)), 255u);  // the host's missing value
}

TEST(PackCodes, LiteralIsStoredAsItsBits) {
  const std::uint64_t nan = 0x7FF0000000000001u;  // a signalling NaN
  const Units record = PackRecord({nan}, {{1, 1}}, 0, kCompressed, kNoKeyFields);
  EXPECT_EQ(record, (Units{4, 0x0123456789ABCDEFu, Control({253}), nan}));
}

TEST(PackCodes, AgreeWithTheOrderedTestsOnManyValues) {
  std::mt19937_64 random(11);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t v = RandomNumericUnit(random);
    SCOPED_TRACE(testing::Message() << std::hex << v);
    ASSERT_EQ(PackedCode(v), ModelCode(v, SystemMissing()));
  }
  // Every entry of the table, and its neighbours one bit away.
  for (int c = 1; c <= 252; ++c) {
    const std::uint64_t v = IEEEPart1[c] << 32;
    const std::uint64_t one = 1;
    for (std::uint64_t w : {v, v ^ (one << 32), v ^ (one << 45), v ^ (one << 63)}) {
      SCOPED_TRACE(testing::Message() << c << " " << std::hex << w);
      ASSERT_EQ(PackedCode(w), ModelCode(w, SystemMissing()));
    }
  }
}

TEST_F(MissingValue, MissingWinsOverEveryOtherCode) {
  for (std::uint64_t missing : {Bits(1.0), kBlanks, std::uint64_t{0}, Bits(0.5)}) {
    SCOPED_TRACE(testing::Message() << std::hex << missing);
    CmnGlb[1] = FromBits(missing);
    EXPECT_EQ(PackedCode(missing), 255u);
  }
  CmnGlb[1] = FromBits(Bits(1.0));
  EXPECT_EQ(PackedCode(Bits(-DBL_MAX)), 253u);  // now an ordinary value
  EXPECT_EQ(PackedCode(Bits(2.0)), 102u);
}

TEST(PackLayout, UncompressedRecordIsTheRunsInMapOrder) {
  const Units row = {11, 12, 13, 14, 15, 16, 17, 18};
  const std::vector<Pair> map = {{5, 2}, {1, 3}, {8, 1}};
  for (INTEGER flags : {kPlain, INTEGER{2}}) {  // only bit 0 asks for coding
    const Units record = PackRecord(row, map, 1, flags, kNoKeyFields, 77);
    EXPECT_EQ(record, (Units{2 + 6, 77, 15, 16, 11, 12, 13, 18}));
  }
}

TEST(PackLayout, EightPayloadUnitsFillOneControlUnit) {
  const Units row = {Bits(42.5), Bits(1.0), Bits(0.5), kBlanks,    Bits(-DBL_MAX),
                     Bits(2.0),  Bits(3.5), Bits(0.0), Bits(-99.0)};
  const Units record = PackRecord(row, {{1, 1}, {2, 8}}, 1, kCompressed, kNoKeyFields, 9);
  EXPECT_EQ(record,
            (Units{6, 9, Bits(42.5), Control({101, 253, 254, 255, 102, 253, 100, 1}),
                   Bits(0.5), Bits(3.5)}));
  // Code 1 at the lowest address.
  EXPECT_EQ(BytesOf(record[3]), std::string("\x65\xFD\xFE\xFF\x66\xFD\x64\x01", 8));
}

TEST(PackLayout, NinthPayloadUnitStartsASecondControlUnit) {
  const Units row = {Bits(42.5), Bits(1.0), Bits(0.5), kBlanks,     Bits(-DBL_MAX),
                     Bits(2.0),  Bits(3.5), Bits(0.0), Bits(-99.0), Bits(1e300)};
  const Units record = PackRecord(row, {{1, 1}, {2, 9}}, 1, kCompressed, kNoKeyFields, 9);
  EXPECT_EQ(record,
            (Units{8, 9, Bits(42.5), Control({101, 253, 254, 255, 102, 253, 100, 1}),
                   Bits(0.5), Bits(3.5), Control({253}), Bits(1e300)}));
  EXPECT_EQ(BytesOf(record[6]), std::string("\xFD\0\0\0\0\0\0\0", 8));
}

TEST(PackLayout, CodesRunOnAcrossPairs) {
  Units row;
  for (int i = 1; i <= 12; ++i) row.push_back(Bits(i));
  row[8] = Bits(8.25);  // unit 9: a literal in the first group
  const std::vector<Pair> map = {{2, 1}, {1, 1}, {3, 3}, {7, 6}};
  const Units record = PackRecord(row, map, 1, kCompressed, kNoKeyFields, 0);
  EXPECT_EQ(record,
            (Units{6, 0, Bits(2), Control({101, 103, 104, 105, 107, 108, 253, 110}),
                   Bits(8.25), Control({111, 112})}));
}

TEST(PackLayout, PayloadCountIsTheLowHalfAndNonPositiveCountsAreSkipped) {
  const Units row = {Bits(1.0), Bits(2.0), Bits(3.0), Bits(4.0)};
  const INTEGER twoInHighHalf = (INTEGER{1} << 32) + 2;
  const std::vector<Pair> map = {{1, 1}, {2, 0}, {2, -3}, {3, twoInHighHalf}};
  const Units record = PackRecord(row, map, 1, kCompressed, kNoKeyFields, 0);
  EXPECT_EQ(record, (Units{4, 0, Bits(1.0), Control({103, 104})}));
}

TEST(PackLayout, PairCountIsTheLowHalfOfNmap) {
  const Units row = {1, 2, 3};
  const std::vector<INTEGER> map = {1, 1, 2, 1, 3, 1};
  const std::vector<INTEGER> keylst = kNoKeyFields;
  Units record(6, 0);
  const INTEGER nmap = (INTEGER{1} << 32) + 2;
  const double header = 0;
  srtfpk_(reinterpret_cast<const OBS*>(row.data()), reinterpret_cast<OBS*>(record.data()),
          header, map.data(), keylst.data(), nmap, 0, kPlain);
  EXPECT_EQ(record, (Units{4, 0, 1, 2, 0, 0}));
}

TEST(PackLayout, RecordWithoutPayloadUnitsHasNoControlUnit) {
  const Units row = {Bits(1.0), Bits(2.0), Bits(3.0)};
  // NKMAP equal to NMAP: every pair is plain.
  EXPECT_EQ(PackRecord(row, {{2, 2}, {1, 1}}, 2, kCompressed, kNoKeyFields, 5),
            (Units{5, 5, Bits(2.0), Bits(3.0), Bits(1.0)}));
  EXPECT_EQ(PackRecord(row, {{2, 2}, {1, 0}}, 1, kCompressed, kNoKeyFields, 5),
            (Units{4, 5, Bits(2.0), Bits(3.0)}));
}

TEST(PackLayout, StringKeyFieldsAreTrimmedLast) {
  const Units row = {Bits(1.0), Text8("AB      "), Text8("WXYZ    "), Text8("ABCDEFGH")};
  // Data area: unit 1 row unit 2, unit 2 row unit 4, then the payload.
  const std::vector<INTEGER> keylst = {1, 8, 1, 2, 8, -1, 1, -1, 1};
  const Units record =
      PackRecord(row, {{2, 1}, {4, 1}, {1, 1}, {3, 1}}, 2, kCompressed, keylst, 0);
  const Units expected = {6,
                          0,
                          Text8("AB\0     "),
                          Text8("ABCDEFGH"),
                          Control({101, 253}),
                          Text8("WXYZ    ")};
  EXPECT_EQ(record, expected);
  // The row itself is only read.
  EXPECT_EQ(row[1], Text8("AB      "));
}

TEST(PackLayout, HeaderValueIsKeptBitForBit) {
  for (std::uint64_t header : {0x7FF0000000000001u, 0xFFFFFFFFFFFFFFFFu, kBlanks}) {
    const Units record =
        PackRecord({Bits(1.0)}, {{1, 1}}, 1, kPlain, kNoKeyFields, header);
    EXPECT_EQ(record, (Units{3, header, Bits(1.0)}));
  }
}

}  // namespace
