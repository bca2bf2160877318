// How CSV records of any length travel through the fixed-width engine.
//
// The first pass learns the widest record and, per key column, its widest
// value and whether every value is a number. Every row then has the same
// layout:
//
//   [key units] [1 unit: the record's length in bytes, as a double]
//   [the record's bytes, padded with blanks to the widest record's units]
//
// A numeric key is one unit, the number (an empty field is the
// system-missing value, which sorts lowest). A string key spans
// ceil(widest / 8) units: the field's value padded with NUL bytes, so that a
// shorter value sorts first in byte order; the engine's collator compares it
// as a string of the widest value's length. Only key units are compared;
// the rest is payload, and the stream codec stores a unit of eight blanks in
// half a byte, so short records cost little more than their bytes in runs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Spool.h"
#include "isort/FileSort.h"

namespace isort::app {

// The system-missing value: an empty numeric field.
constexpr double kMissing = -1.7976931348623157e308;

// Reads `text` as a number: blanks (spaces, tabs) around it are ignored, an
// empty text is kMissing; otherwise a decimal number with optional sign,
// fraction and exponent. NaN, infinities, hexadecimal and numbers beyond the
// range of a double are not numbers. Returns false when `text` is not one.
bool ParseNumber(std::string_view text, double* value);

// One key column as --by names it and as the first pass found it.
struct KeyColumn {
  std::size_t column = 0;  // from 0
  int direction = 1;       // +1 ascending, -1 descending
  bool numeric = true;     // every value parsed as a number (or was empty)
  std::size_t width = 0;   // bytes of the widest value
};

// The key columns that `by` names ("age:desc,name,3"; an empty text names
// every column in order, ascending) among the header's `names`. A name is
// looked up first as it stands, then without surrounding blanks, then as a
// 1-based column number. A column named twice counts once, at its first
// place. Throws BadInput (line 1) for an unknown or ambiguous column.
std::vector<KeyColumn> ParseKeyColumns(const std::string& by,
                                       const std::vector<std::string>& names);

class RowLayout {
 public:
  // Rows for `keys` and records of at most `widestRecord` bytes. Throws
  // CannotSort when a row would exceed what the engine can take.
  RowLayout(const std::vector<KeyColumn>& keys, std::size_t widestRecord);

  unsigned int rowUnits() const { return rowUnits_; }
  const std::vector<FileSort::SortKey>& engineKeys() const { return engineKeys_; }

  // Fills `row` (rowUnits() units) from a record of the spool.
  void Fill(const SpoolRecord& record, OBS* row) const;
  // The record's bytes in a row that Fill filled.
  std::string_view Record(const OBS* row) const {
    return std::string_view(reinterpret_cast<const char*>(row + lengthUnit_ + 1),
                            static_cast<std::size_t>(row[lengthUnit_]));
  }

 private:
  struct Key {
    unsigned int position;  // first unit
    unsigned int units;     // 0: numeric
  };
  std::vector<Key> keys_;
  std::vector<FileSort::SortKey> engineKeys_;
  unsigned int lengthUnit_ = 0;
  unsigned int recordUnits_ = 0;
  unsigned int rowUnits_ = 0;
};

}  // namespace isort::app
