// srtkeyz_ and srtkeyunz_: trimming and restoring string key fields.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "RecordModel.h"
#include "isort/sortfile.h"

namespace {

using namespace records_test;

// A record of two header units and a data area holding `text` from unit 1,
// with '#' in every other byte, so that stray writes show.
struct Record {
  explicit Record(const std::string& text, std::size_t dataUnits = 4)
      : units(2 + dataUnits) {
    std::memset(units.data(), '#', units.size() * 8);
    std::memcpy(Data(), text.data(), text.size());
  }
  char* Data() { return reinterpret_cast<char*>(units.data() + 2); }
  std::string Bytes(std::size_t offset, std::size_t n) {
    return std::string(Data() + offset, n);
  }
  std::string All() {
    return std::string(reinterpret_cast<char*>(units.data()), units.size() * 8);
  }
  std::vector<OBS> units;
};

const std::string kNul(1, '\0');

TEST(KeyTrim, TrailingBlanksGetOneNulAndRestoreGivesThemBack) {
  Record record("AB      ");
  const std::vector<INTEGER> keylst = {1, 8, 1, 1, -1, 1};
  srtkeyz_(record.units.data(), keylst.data());
  EXPECT_EQ(record.Bytes(0, 8), "AB" + kNul + "     ");
  EXPECT_EQ(record.Bytes(8, 8), "########");
  srtkeyunz_(record.units.data(), keylst.data());
  EXPECT_EQ(record.Bytes(0, 8), "AB      ");
}

TEST(KeyTrim, AllBlankFieldStartsWithNul) {
  Record record("        ");
  const std::vector<INTEGER> keylst = {1, 8, -1, 1, -1, 1};
  srtkeyz_(record.units.data(), keylst.data());
  EXPECT_EQ(record.Bytes(0, 8), kNul + "       ");
  srtkeyunz_(record.units.data(), keylst.data());
  EXPECT_EQ(record.Bytes(0, 8), "        ");
}

TEST(KeyTrim, FieldWithoutTrailingBlankIsKeptUnlessItHoldsANul) {
  Record record(
      "A B CDEF"
      "XY" +
      kNul + "Z   Q");  // two fields of 8, no trailing blank
  const std::vector<INTEGER> keylst = {1, 8, 1, 2, 8, 1, 1, -1, 1};
  const std::string before = record.All();
  srtkeyz_(record.units.data(), keylst.data());
  EXPECT_EQ(record.All(), before);
  srtkeyunz_(record.units.data(), keylst.data());
  EXPECT_EQ(record.Bytes(0, 8), "A B CDEF");
  EXPECT_EQ(record.Bytes(8, 8), "XY      ");
}

TEST(KeyTrim, BlanksInsideTheTextStay) {
  Record record("A B     ");
  const std::vector<INTEGER> keylst = {1, 8, 1, 1, -1, 1};
  srtkeyz_(record.units.data(), keylst.data());
  EXPECT_EQ(record.Bytes(0, 8), "A B" + kNul + "    ");
}

TEST(KeyTrim, EmptyListAndNumericKeysChangeNothing) {
  Record record("        AB      ");
  const std::string before = record.All();
  const std::vector<INTEGER> empty = {1, -1, 1, 2, 8, 1};  // the end comes first
  srtkeyz_(record.units.data(), empty.data());
  srtkeyunz_(record.units.data(), empty.data());
  EXPECT_EQ(record.All(), before);
  const std::vector<INTEGER> numeric = {1, 0, 1, 2, 0, -1, 1, -1, 1};
  srtkeyz_(record.units.data(), numeric.data());
  EXPECT_EQ(record.All(), before);
  // A numeric key before a string key does not end the list.
  const std::vector<INTEGER> mixed = {1, 0, 1, 2, 8, 1, 1, -1, 1};
  srtkeyz_(record.units.data(), mixed.data());
  EXPECT_EQ(record.Bytes(0, 16), "        AB" + kNul + "     ");
}

TEST(KeyTrim, WideFieldEndsAtItsWidth) {
  // Width 12 at position 2: the field is bytes 1 to 12 of data units 2 and 3;
  // bytes 13 to 16 of unit 3 are not part of it.
  Record record(
      "abcdefgh"
      "HELLO       ####");
  const std::vector<INTEGER> keylst = {2, 12, 1, 1, -1, 1};
  srtkeyz_(record.units.data(), keylst.data());
  EXPECT_EQ(record.Bytes(0, 24),
            "abcdefgh"
            "HELLO" +
                kNul + "      ####");
  srtkeyunz_(record.units.data(), keylst.data());
  EXPECT_EQ(record.Bytes(0, 24),
            "abcdefgh"
            "HELLO       ####");
  // A NUL just past the field is not the field's.
  std::memcpy(record.Data() + 20, kNul.data(), 1);
  srtkeyunz_(record.units.data(), keylst.data());
  EXPECT_EQ(record.Bytes(8, 16), "HELLO       " + kNul + "###");
}

TEST(KeyTrim, FieldEndingInTextWithBlanksAfterItIsKept) {
  // The last byte of a width-5 field is text; the blanks after it are not.
  Record record("ABCDE   ");
  const std::vector<INTEGER> keylst = {1, 5, 1, 1, -1, 1};
  const std::string before = record.All();
  srtkeyz_(record.units.data(), keylst.data());
  EXPECT_EQ(record.All(), before);
}

TEST(KeyTrim, HeaderIsNeitherReadNorWritten) {
  Record record("Q       ");
  std::memset(record.units.data(), ' ', 16);
  const std::vector<INTEGER> keylst = {1, 8, 1, 1, -1, 1};
  srtkeyz_(record.units.data(), keylst.data());
  EXPECT_EQ(record.All().substr(0, 24), std::string(16, ' ') + "Q" + kNul + "      ");
}

}  // namespace
