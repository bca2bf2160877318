// srtfup_ and SrtUnpack on records built by hand, so that unpacking is checked
// apart from the packer.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <vector>

#include "RecordModel.h"
#include "isort/sortfile.h"

namespace {

using namespace records_test;

constexpr std::uint64_t kUntouched = 0xEEEEEEEEEEEEEEEEu;

TEST(Unpack, UncompressedRecordPutsEveryRunBack) {
  Units record = {8, 77, 15, 16, 11, 12, 13, 18};
  Units row(9, kUntouched);
  UnpackRecord(record, row, {{5, 2}, {1, 3}, {8, 1}}, 1, 0, kNoKeyFields);
  // Units 4, 7 and 9 are named by no pair.
  EXPECT_EQ(row, (Units{11, 12, 13, kUntouched, 15, 16, kUntouched, 18, kUntouched}));
}

TEST(Unpack, EachCodeGivesItsUnit) {
  const std::uint64_t a = Text8("literal1"), b = 0x7FF0000000000001u, c = Bits(0.1);
  Units record = {0, 0, Bits(42.5),     Control({1, 253, 254, 255, 251, 100, 102, 253}),
                  a, b, Control({253}), c};
  record[0] = record.size();
  Units row(12, kUntouched);
  // Unit 2 .. 4 and 6 .. 11 are coded; unit 5 and 12 are named by no pair.
  UnpackRecord(record, row, {{1, 1}, {2, 3}, {6, 6}}, 1, 1, kNoKeyFields);
  EXPECT_EQ(row, (Units{Bits(42.5), Bits(-99.0), a, kBlanks, kUntouched, Bits(-DBL_MAX),
                        Bits(151.0), Bits(0.0), Bits(2.0), b, c, kUntouched}));
}

TEST(Unpack, BlanksCodeFillsANumericField) {
  Units record = {3, 0, Control({254, 101})};
  Units row(2, 0);
  UnpackRecord(record, row, {{1, 2}}, 0, 1, kNoKeyFields);
  EXPECT_EQ(row, (Units{kBlanks, Bits(1.0)}));
}

TEST(Unpack, CodeZeroCountsButWritesNothing) {
  Units record = {3, 0, Control({101, 0, 102, 103})};
  Units row(5, kUntouched);
  UnpackRecord(record, row, {{1, 3}, {4, 1}}, 0, 1, kNoKeyFields);
  // The pair of three units takes codes 101, 0, 102: its third unit stays.
  EXPECT_EQ(row, (Units{Bits(1.0), Bits(2.0), kUntouched, Bits(3.0), kUntouched}));
}

TEST(Unpack, ControlUnitCarriesOverAndPairCountsUseTheLowHalf) {
  Units record = {0, 0, Control({101, 102, 103, 104, 105, 106, 107, 253}), Bits(0.25),
                  Control({109, 110})};
  record[0] = record.size();
  Units row(10, kUntouched);
  const INTEGER twoInHighHalf = (INTEGER{1} << 32) + 2;
  UnpackRecord(record, row, {{1, 3}, {5, 0}, {5, -1}, {4, 5}, {9, twoInHighHalf}}, 0, 1,
               kNoKeyFields);
  EXPECT_EQ(row, (Units{Bits(1.0), Bits(2.0), Bits(3.0), Bits(4.0), Bits(5.0), Bits(6.0),
                        Bits(7.0), Bits(0.25), Bits(9.0), Bits(10.0)}));
}

TEST(Unpack, MissingValueIsReadFromTheGlobalBlock) {
  const double saved = CmnGlb[1];
  CmnGlb[1] = 12.5;
  Units record = {3, 0, Control({255})};
  Units row(1, 0);
  UnpackRecord(record, row, {{1, 1}}, 0, 1, kNoKeyFields);
  CmnGlb[1] = saved;
  EXPECT_EQ(row[0], Bits(12.5));
}

TEST(Unpack, StringKeyFieldsAreRestoredInTheRowAndTheRecord) {
  Units record = {5, 0, Text8("AB\0     "), Text8("XYZ\0\0   "), Control({101})};
  Units row(3, kUntouched);
  const std::vector<INTEGER> keylst = {2, 5, 1, 1, 8, -1, 1, -1, 1};
  UnpackRecord(record, row, {{2, 1}, {3, 1}, {1, 1}}, 2, 1, keylst);
  EXPECT_EQ(row, (Units{Bits(1.0), Text8("AB      "), Text8("XYZ     ")}));
  EXPECT_EQ(record, (Units{5, 0, Text8("AB      "), Text8("XYZ     "), Control({101})}));
}

TEST(Unpack, CompressedWithNoPayloadPairsReadsNoControlUnit) {
  // The record ends with its plain part; the buffer ends there too, so a read
  // of a control unit would leave it (and the sanitizer would say so).
  std::vector<OBS> record = {4, 0, 7.0, 8.0};
  Units row(2, kUntouched);
  const std::vector<INTEGER> map = {2, 1, 1, 1};
  SrtUnpack(record.data() + 2, reinterpret_cast<OBS*>(row.data()), map.data(),
            kNoKeyFields.data(), 2, 2, 1);
  EXPECT_EQ(row, (Units{Bits(8.0), Bits(7.0)}));
}

TEST(Unpack, WrapperTakesLowHalvesAndBitZeroOfFlags) {
  Units record = {4, 0, Bits(5.0), Control({102})};
  const std::vector<INTEGER> map = {1, 1, 2, 1, 3, 1};
  const INTEGER high = INTEGER{1} << 32;
  for (INTEGER flags : {INTEGER{1}, INTEGER{3}, high + 1}) {
    SCOPED_TRACE(flags);
    Units row(3, kUntouched);
    Units copy = record;
    srtfup_(reinterpret_cast<OBS*>(copy.data()), reinterpret_cast<OBS*>(row.data()),
            map.data(), kNoKeyFields.data(), high + 2, high + 1, flags);
    EXPECT_EQ(row, (Units{Bits(5.0), Bits(2.0), kUntouched}));
  }
  // Bit 0 clear: every pair is plain.
  Units row(3, kUntouched);
  srtfup_(reinterpret_cast<OBS*>(record.data()), reinterpret_cast<OBS*>(row.data()),
          map.data(), kNoKeyFields.data(), 2, 1, INTEGER{2});
  EXPECT_EQ(row, (Units{Bits(5.0), Control({102}), kUntouched}));
}

}  // namespace
