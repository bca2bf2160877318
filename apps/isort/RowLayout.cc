#include "RowLayout.h"

#include <cmath>
#include <cstring>

#include "Numbers.h"
#include "SortErrors.h"

namespace isort::app {
namespace {

// The place unit of a record that travels inside its row.
constexpr std::uint64_t kInlinePlace = ~std::uint64_t{0};
constexpr int kSpoolShift = 48;

// What a long record costs beside its bytes, in bytes a row carries inline:
// it is skipped in the spool and copied out of it by pread when written.
// 1M records of about 200 bytes took 1.3 s all inline and 2.9 s all long
// (1.5 us more each); 1M of about 1 KB took 4.3 to 7.6 s inline and 4.2 to
// 5.1 s long: an inline byte costs about 5 ns, a long record about as much
// as 300 of them.
constexpr std::uint64_t kLongRecordCost = 384;
// What a code longer than its prefix costs, in prefix bytes a row carries:
// it is written to the code file, and its row may have to be put in order
// by the whole code. A guess, not measured: a prefix byte is compared and
// held in every batch, a long code costs a write and maybe a read.
constexpr std::uint64_t kLongCodeCost = 64;

std::uint64_t Bits(const OBS& unit) {
  std::uint64_t bits;
  std::memcpy(&bits, &unit, sizeof bits);
  return bits;
}

void SetBits(OBS& unit, std::uint64_t bits) { std::memcpy(&unit, &bits, sizeof bits); }

unsigned int Units(std::uint64_t bytes) { return static_cast<unsigned int>((bytes + 7) / 8); }

}  // namespace

void KeyFacts::Merge(const KeyFacts& other) {
  numbers = numbers && other.numbers;
  exactAsDouble = exactAsDouble && other.exactAsDouble;
  numberCodes.Merge(other.numberCodes);
  textCodes.Merge(other.textCodes);
}

RowLayout::RowLayout(const std::vector<KeyFacts>& keys, const LengthCounts& records,
                     const TextOrder& textOrder, const MissingTexts& missing)
    : textOrder_(textOrder), missing_(missing) {
  unsigned int units = 0;
  for (const KeyFacts& facts : keys) {
    Field field;
    field.direction = facts.key.direction;
    field.numeric = facts.key.type == KeyType::kNumber ||
                    (facts.key.type == KeyType::kAuto && facts.numbers);
    field.code = !field.numeric || !facts.exactAsDouble;
    field.position = units;
    if (!field.code) {
      engineKeys_.push_back({units, field.direction, 0});
      units += 1;
    } else {
      const LengthCounts& lengths = field.numeric ? facts.numberCodes : facts.textCodes;
      field.prefix = static_cast<unsigned int>(
          std::max<std::uint64_t>(8, lengths.CheapestWidth(kLongCodeCost)));
      field.lengthUnit = units + field.prefix / 8;
      engineKeys_.push_back({units, field.direction, field.prefix});
      engineKeys_.push_back({field.lengthUnit, field.direction, 0});
      units = field.lengthUnit + 1;
    }
    fields_.push_back(field);
  }
  for (Field& field : fields_) {
    if (!field.code) continue;
    field.whereUnit = units;
    units += 2;
  }
  recordUnit_ = units;
  inlineBytes_ = records.CheapestWidth(kLongRecordCost);
  rowUnits_ = units + 2 + Units(inlineBytes_);
}

void RowLayout::Fill(const SpoolRecord& record, std::size_t spool, ScratchFile& codes,
                     OBS* row) const {
  for (std::size_t k = 0; k < fields_.size(); ++k) {
    const Field& field = fields_[k];
    const double number = record.keys[k].number;
    if (!field.code) {
      row[field.position] = number;
      continue;
    }
    // -inf is a missing number in the spool's double keys (Numbers.h).
    const std::string_view value = record.Value(k);
    const bool missing = field.numeric ? number == -HUGE_VAL : missing_.MatchesText(value);
    code_.clear();
    bool longer = false;
    if (!missing && field.numeric) {
      AppendNumberCode(value, code_);
      longer = code_.size() > field.prefix;
    } else if (!missing) {
      longer = textOrder_.AppendPrefix(value, field.prefix, code_);
    }
    char* out = reinterpret_cast<char*>(row + field.position);
    const std::size_t kept = std::min<std::size_t>(code_.size(), field.prefix);
    std::memcpy(out, code_.data(), kept);
    std::memset(out + kept, 0, field.prefix - kept);
    row[field.lengthUnit] = static_cast<double>(longer ? field.prefix + 1 : code_.size());
    std::uint64_t where = 0;
    std::uint64_t length = 0;
    if (longer) {
      where = codes.size();
      if (field.numeric) {
        codes.Append(code_);
        length = code_.size();
      } else {
        length = textOrder_.WriteCode(
            value, [&codes](std::string_view piece) { codes.Append(piece); });
      }
    }
    SetBits(row[field.whereUnit], where);
    SetBits(row[field.whereUnit + 1], length);
  }
  SetBits(row[recordUnit_], record.rawLength);
  char* out = reinterpret_cast<char*>(row + recordUnit_ + 2);
  if (record.rawLength <= inlineBytes_) {
    SetBits(row[recordUnit_ + 1], kInlinePlace);
    std::memcpy(out, record.raw.data(), record.raw.size());
    // Blanks: the engine's codec stores eight of them in half a byte.
    std::memset(out + record.raw.size(), ' ', inlineBytes_ - record.raw.size());
  } else {
    SetBits(row[recordUnit_ + 1],
            (std::uint64_t{spool} << kSpoolShift) | record.rawOffset);
    std::memset(out, ' ', inlineBytes_);
  }
}

RecordPlace RowLayout::Record(const OBS* row) const {
  RecordPlace place;
  place.length = Bits(row[recordUnit_]);
  const std::uint64_t where = Bits(row[recordUnit_ + 1]);
  if (where == kInlinePlace) {
    place.bytes = std::string_view(reinterpret_cast<const char*>(row + recordUnit_ + 2),
                                   static_cast<std::size_t>(place.length));
    return place;
  }
  place.inlined = false;
  place.spool = static_cast<std::size_t>(where >> kSpoolShift);
  place.offset = where & ((std::uint64_t{1} << kSpoolShift) - 1);
  return place;
}

std::pair<std::uint64_t, std::uint64_t> RowLayout::CodePlace(const OBS* row,
                                                             std::size_t key) const {
  const Field& field = fields_[key];
  if (!field.code) return {0, 0};
  return {Bits(row[field.whereUnit]), Bits(row[field.whereUnit + 1])};
}

unsigned int RowLayout::TiedUnits(const OBS* row) const {
  for (const Field& field : fields_) {
    if (field.code && row[field.lengthUnit] == static_cast<double>(field.prefix + 1)) {
      return field.lengthUnit + 1;
    }
  }
  return 0;
}

int RowLayout::CompareUnits(const OBS* a, const OBS* b, const Field& field) {
  int result;
  if (!field.code) {
    const double x = a[field.position];
    const double y = b[field.position];
    result = (x > y) - (x < y);
  } else {
    result = std::memcmp(a + field.position, b + field.position, field.prefix);
    if (result == 0) {
      const double x = a[field.lengthUnit];
      const double y = b[field.lengthUnit];
      result = (x > y) - (x < y);
    }
  }
  return result < 0 ? -field.direction : result > 0 ? field.direction : 0;
}

}  // namespace isort::app
