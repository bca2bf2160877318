// How CSV records of any length travel through the fixed-width engine.
//
// Every row has the same layout:
//
//   [key fields] [per code key: 2 units, where its whole code lies]
//   [2 units: the record's length, and where it lies unless inline]
//   [inline bytes: the record, padded with blanks]
//
// A key travels one of two roads (Numbers.h, TextOrder.h):
// - the double road: one unit, the number's double key;
// - the code road: the first `prefix` bytes of the value's code padded with
//   00 (a string key for the engine, compared as unsigned bytes), then one
//   unit with the code's length, clipped at prefix + 1 (a numeric key). The
//   two decide the order wherever the prefixes differ or a code fits its
//   prefix; a code longer than its prefix is written to the code file, and
//   rows whose key fields tie up to such a key are put in order by their
//   whole codes before they are written out (TiedRows.h).
// The engine compares only the key fields: text keys compare as bytes
// whatever the locale, because the codes carry the collation.
//
// A record no longer than the inline width travels inside the row; a longer
// one stays in its spool and the row says where. The widths come from the
// lengths the first pass counted (Widths.h): long values cost a few rows,
// not every row.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "KeyColumns.h"
#include "Missing.h"
#include "ScratchFile.h"
#include "Spool.h"
#include "TextOrder.h"
#include "Widths.h"
#include "isort/FileSort.h"

namespace isort::app {

// What the first pass learned of one key column.
struct KeyFacts {
  KeyColumn key;
  bool numbers = true;        // every value a number or missing
  bool exactAsDouble = true;  // ... each of them exact as a double
  LengthCounts numberCodes;   // lengths of the numbers' codes
  LengthCounts textCodes;     // lengths of the text codes (estimated in a locale)
  void Merge(const KeyFacts& other);
};

// Where a record lies: inside the row, or in a spool.
struct RecordPlace {
  std::uint64_t length = 0;
  bool inlined = true;
  std::string_view bytes;  // inlined: the record
  std::size_t spool = 0;   // otherwise: which spool, and where in it
  std::uint64_t offset = 0;
};

class RowLayout {
 public:
  // Longest prefix of a code and widest inline record.
  static constexpr std::uint64_t kMaxPrefixBytes = 1024;
  static constexpr std::uint64_t kMaxInlineBytes = Spool::kLoadedRawBytes;

  // Rows for `keys`, records whose lengths `records` counted, text keys in
  // `textOrder` with `missing` values; both must outlive the layout.
  RowLayout(const std::vector<KeyFacts>& keys, const LengthCounts& records,
            const TextOrder& textOrder, const MissingTexts& missing);

  unsigned int rowUnits() const { return rowUnits_; }
  const std::vector<FileSort::SortKey>& engineKeys() const { return engineKeys_; }
  std::uint64_t inlineBytes() const { return inlineBytes_; }
  std::size_t keyCount() const { return fields_.size(); }
  // The units before the record's: the key fields and where long codes lie.
  unsigned int keyPartUnits() const { return recordUnit_; }

  // Fills `row` (rowUnits() units) from a record of spool number `spool`;
  // codes longer than their prefix go to `codes`.
  void Fill(const SpoolRecord& record, std::size_t spool, ScratchFile& codes,
            OBS* row) const;
  // Where the record of a row that Fill filled lies.
  RecordPlace Record(const OBS* row) const;

  // Where the whole code of key `key` of a row lies in the code file:
  // offset and length (0, 0 unless it is longer than its prefix).
  std::pair<std::uint64_t, std::uint64_t> CodePlace(const OBS* row, std::size_t key) const;

  // Rows that tie on their first TiedUnits units (when not 0) must be put in
  // order by Compare: their key fields tie up to a code longer than its
  // prefix. 0: the engine's order of this row is final.
  unsigned int TiedUnits(const OBS* row) const;
  // The order of rows `a` and `b` by their whole keys; `compareCodes(a, b,
  // key)` gives the byte order of their whole codes of `key` where both are
  // long. Only their first keyPartUnits() are read.
  template <typename CompareCodes>
  int Compare(const OBS* a, const OBS* b, CompareCodes&& compareCodes) const;

 private:
  struct Field {
    bool code = false;      // the code road (else the double road)
    bool numeric = false;   // numbers (else text)
    int direction = 1;
    unsigned int position = 0;    // first unit
    unsigned int prefix = 0;      // code road: prefix bytes
    unsigned int lengthUnit = 0;  // code road: the clipped length
    unsigned int whereUnit = 0;   // code road: offset and length in the code file
  };
  static int CompareUnits(const OBS* a, const OBS* b, const Field& field);

  const TextOrder& textOrder_;
  const MissingTexts& missing_;
  std::vector<Field> fields_;
  std::vector<FileSort::SortKey> engineKeys_;
  unsigned int recordUnit_ = 0;
  std::uint64_t inlineBytes_ = 0;
  unsigned int rowUnits_ = 0;
  mutable std::string code_;  // Fill's scratch
};

template <typename CompareCodes>
int RowLayout::Compare(const OBS* a, const OBS* b, CompareCodes&& compareCodes) const {
  for (std::size_t k = 0; k < fields_.size(); ++k) {
    const Field& field = fields_[k];
    int result = CompareUnits(a, b, field);
    if (result == 0 && field.code &&
        a[field.lengthUnit] == static_cast<double>(field.prefix + 1)) {
      // Both longer than the prefix, which they share.
      result = compareCodes(a, b, k);
      result = result < 0 ? -field.direction : result > 0 ? field.direction : 0;
    }
    if (result != 0) return result;
  }
  return 0;
}

}  // namespace isort::app
