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

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "FileSort/Comparator.h"
#include "isort/FileSort.h"

namespace isort {

class KeyWords {
 public:
  enum class Kind : unsigned char { kNumber, kString, kTag };
  // How one word is made.
  struct Spec {
    std::uint32_t unit;  // the unit of the key part it is made from
    Kind kind;
    bool descending;
    std::uint64_t mask;  // the string bytes that belong to the key

    template <Kind kKind>
    std::uint64_t Of(const OBS* record) const;
    std::uint64_t Of(const OBS* record) const;
  };

  explicit KeyWords(const std::vector<FileSort::SortKey>& keys);

  std::size_t Count() const { return words_.size(); }
  const Spec& operator[](std::size_t i) const { return words_[i]; }

 private:
  std::vector<Spec> words_;
};

template <KeyWords::Kind kKind>
inline std::uint64_t KeyWords::Spec::Of(const OBS* record) const {
  std::uint64_t bits;
  std::memcpy(&bits, record + unit, sizeof bits);
  if constexpr (kKind == Kind::kNumber) {
    if (bits == std::uint64_t{1} << 63) bits = 0;  // -0.0 equals +0.0
    bits = (bits >> 63) != 0 ? ~bits : bits | std::uint64_t{1} << 63;
    return descending ? ~bits : bits;
  } else if constexpr (kKind == Kind::kString) {
    bits = __builtin_bswap64(bits);  // the string's first byte is the most significant
    return (descending ? ~bits : bits) & mask;
  } else {
    return bits & mask;
  }
}

inline std::uint64_t KeyWords::Spec::Of(const OBS* record) const {
  switch (kind) {
    case Kind::kNumber: return Of<Kind::kNumber>(record);
    case Kind::kString: return Of<Kind::kString>(record);
    case Kind::kTag: return Of<Kind::kTag>(record);
  }
  return 0;
}

// Sorts `n` records of `width` units (key part and tag), which must hold no
// NaN in a numeric key and whose strings must compare as bytes (see
// RecordOrder::ComparesBytes), into the order `order` gives. In place; the
// only memory it takes is a few fixed tables on the stack.
void RadixSortRecords(OBS* records, std::uint64_t n, std::uint64_t width, const KeyWords& words,
                      const RecordOrder& order);

// The radix sort of a batch whose rows are handed on while it sorts. The
// constructor splits the batch's top levels into buckets (on the calling
// thread, as RadixSortRecords would); then two threads sort the buckets, each
// taking the next one in the records' order: one in SortNext, the other in
// WaitForSorted when the records it waits for are not sorted yet. Records
// before the first bucket not yet sorted are in their final places. The
// result is RadixSortRecords's. `words` and `order` must outlive it. Throws
// std::bad_alloc.
class SteppedRadixSort {
 public:
  SteppedRadixSort(OBS* records, std::uint64_t n, std::uint64_t width, const KeyWords& words,
                   const RecordOrder& order);
  SteppedRadixSort(const SteppedRadixSort&) = delete;
  SteppedRadixSort& operator=(const SteppedRadixSort&) = delete;
  ~SteppedRadixSort();

  // Sorts the next bucket that no thread has taken; false when every bucket
  // has been taken.
  bool SortNext();
  // Returns once the first `n` records are in their final places, sorting
  // the buckets not yet taken meanwhile.
  void WaitForSorted(std::uint64_t n);
  // Sorts every bucket that no thread has taken.
  void SortTheRest() {
    while (SortNext()) {
    }
  }

 private:
  struct Steps;

  std::uint64_t SortedBefore(std::size_t task) const;

  std::unique_ptr<Steps> steps_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::atomic<std::uint64_t> sorted_{0};
};

}  // namespace isort
