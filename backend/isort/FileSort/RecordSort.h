// The in-memory sort of one batch: an in-place quicksort of fixed-width
// records that lie end to end in one buffer, and the choice of a faster sort
// where the order allows one.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "FileSort/CacheLines.h"
#include "FileSort/Comparator.h"
#include "isort/FileSort.h"

namespace isort {

class KeyWords;

// The record quicksort: sorts `n` records of `width` units starting at
// `records` so that `compare` gives 0 or less for every record against the
// one after it. Moves records only by exchanging them whole; allocates
// nothing. n < 2^31. Where the order is not a strict weak order (a NaN key
// ties with every number) its result is the one this algorithm gives.
void SortRecords(OBS* records, std::uint64_t n, std::uint64_t width,
                 const FileSort::Comparator* compare);

// The same algorithm by `order`, which gives the Comparator's signs.
void QuickSortRecords(OBS* records, std::uint64_t n, std::uint64_t width,
                      const RecordOrder& order);

// How SortBatch put a batch in order.
enum class BatchSortPath {
  kQuicksort,       // the record quicksort: a NaN key or a collator that is not byte order
  kRadix,           // a total order: the radix sort gives the quicksort's result
  kAlreadyInOrder,  // a total order, and every record already before the next
  kNearlyInOrder,   // a total order, and few records out of place: insertion sort
};

// Sorts a batch of records into the order the record quicksort with
// `comparator` gives. Where that order is total (no NaN in a numeric key,
// strings compared as bytes) any correct sort gives it: a batch found in
// order by one comparison per record is left as it is, one with few records
// out of place is insertion sorted while that stays cheap, and any other is
// radix sorted. Everywhere else the record quicksort runs.
BatchSortPath SortBatch(OBS* records, std::uint64_t n, std::uint64_t width,
                        const FileSort::Comparator& comparator, const RecordOrder& order,
                        const KeyWords& words);

// Follows a batch's records one at a time, as they load: Admits is true as
// long as no record has held a NaN in a numeric key and none has sorted
// before the one before it. Where `order` compares bytes, a batch whose every
// record it admits is one that SortBatch leaves as it is (kAlreadyInOrder).
// Records must carry tags that grow with their place in the batch.
class InOrderWatch {
 public:
  InOrderWatch(const FileSort::Comparator& comparator, const RecordOrder& order,
               std::uint64_t width);
  bool Admits(const OBS* record);

 private:
  std::vector<std::uint32_t> numericUnits_;
  const RecordOrder& order_;
  // The previous record, which the loading thread writes at every row (see
  // Sorter::FillBatch).
  PaddedUnits previous_;
  std::uint64_t width_;
  bool seen_ = false;
};

// SortBatch's choice and work, except that a batch for the radix sort is
// left as it is: kRadix tells the caller to sort it so.
BatchSortPath SortBatchUnlessRadix(OBS* records, std::uint64_t n, std::uint64_t width,
                                   const FileSort::Comparator& comparator,
                                   const RecordOrder& order);

}  // namespace isort
