// The fast way to sort a batch whose order is total: an in-place radix sort
// on bytes of the keys.
//
// KeyWords turns a record's key part and tag into a sequence of unsigned
// 64-bit words whose lexicographic order is the Comparator's order, provided
// that no numeric key holds a NaN and that strings compare as bytes: a
// double becomes its bits with the sign flipped (negative numbers wholly
// inverted, -0.0 first made +0.0), a string its bytes eight at a time, most
// significant first, with the bytes past its width cleared; a descending key
// is inverted; the tag's low 32 bits come last. On such a batch the tags make
// every record distinct, so the order is total and every correct sort gives
// the same result as the record quicksort.
#pragma once

#include <cstdint>
#include <vector>

#include "FileSort/Comparator.h"
#include "isort/FileSort.h"

namespace isort {

class KeyWords {
 public:
  explicit KeyWords(const std::vector<FileSort::SortKey>& keys);

  std::size_t Count() const { return words_.size(); }
  // Word `i` of the record whose key part starts at `record`.
  std::uint64_t Word(const OBS* record, std::size_t i) const;

 private:
  enum class Kind : unsigned char { kNumber, kString, kTag };
  struct Spec {
    std::uint32_t unit;  // the unit of the key part it is made from
    Kind kind;
    bool descending;
    std::uint64_t mask;  // the string bytes that belong to the key
  };

  std::vector<Spec> words_;
};

// Sorts `n` records of `width` units (key part and tag), which must hold no
// NaN in a numeric key and whose strings must compare as bytes (see
// RecordOrder::ComparesBytes), into the order `order` gives. In place; the
// only memory it takes is a few fixed tables on the stack.
void RadixSortRecords(OBS* records, std::uint64_t n, std::uint64_t width, const KeyWords& words,
                      const RecordOrder& order);

}  // namespace isort
