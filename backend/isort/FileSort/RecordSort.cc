#include "FileSort/RecordSort.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "FileSort/CacheLines.h"
#include "FileSort/Comparator.h"
#include "FileSort/RadixSort.h"

namespace isort {
namespace {

// These two thresholds are part of the algorithm, not tuning: where the order
// is not a strict weak order (NaN keys), they decide the result.
// Partitions of at most this many records are finished by insertion sort.
constexpr std::uint64_t kInsertionSortMax = 6;
// Up to this size the pivot is the median of the first, middle and last
// record; above it, the median of three such medians (Tukey's ninther).
constexpr std::uint64_t kMedianOf3Max = 40;

// Any key list, by a RecordOrder, held by reference.
class AnyKeys {
 public:
  explicit AnyKeys(const RecordOrder& order) : order_(&order) {}
  int operator()(const OBS* a, const OBS* b) const { return (*order_)(a, b); }

 private:
  const RecordOrder* order_;
};

// A buffer of records of kWidth units (0: `width`, known only at run time).
template <typename Order, std::uint64_t kWidth>
class Records {
 public:
  Records(OBS* base, std::uint64_t width, Order compare)
      : base_(base), width_(kWidth != 0 ? kWidth : width), compare_(compare) {}

  OBS* At(std::uint64_t i) const { return base_ + i * Width(); }
  int Compare(std::uint64_t i, std::uint64_t j) const { return compare_(At(i), At(j)); }
  void Exchange(std::uint64_t i, std::uint64_t j) const {
    OBS* a = At(i);
    OBS* b = At(j);
    for (std::uint64_t u = 0; u < Width(); ++u) std::swap(a[u], b[u]);
  }
  Records From(std::uint64_t first) const { return Records(At(first), width_, compare_); }

  // The index of the median of records a, b and c.
  std::uint64_t Median3(std::uint64_t a, std::uint64_t b, std::uint64_t c) const {
    if (Compare(a, b) < 0) {
      if (Compare(b, c) < 0) return b;
      return Compare(a, c) < 0 ? c : a;
    }
    if (Compare(b, c) > 0) return b;
    return Compare(a, c) > 0 ? c : a;
  }

  std::uint64_t Pivot(std::uint64_t n) const {
    const std::uint64_t m = n / 2;
    if (n == 7) return m;
    if (n <= kMedianOf3Max) return Median3(0, m, n - 1);
    const std::uint64_t d = n / 8;
    const std::uint64_t low = Median3(0, d, 2 * d);
    const std::uint64_t middle = Median3(m - d, m, m + d);
    const std::uint64_t high = Median3(n - 1 - 2 * d, n - 1 - d, n - 1);
    return Median3(low, middle, high);
  }

  // Places the pivot at its final index and returns that index: the records
  // in front of it are no greater, those behind it no smaller.
  std::uint64_t Partition(std::uint64_t n) const {
    Exchange(Pivot(n), 0);
    std::uint64_t i = 1;
    std::uint64_t j = n;
    while (i < n && Compare(i, 0) < 0) ++i;
    for (;;) {
      // No lower bound needed: the pivot compares equal to itself at 0.
      do {
        --j;
      } while (Compare(j, 0) > 0);
      if (j < i) break;
      Exchange(i, j);
      ++i;
      while (i < n && Compare(i, 0) < 0) ++i;
    }
    Exchange(0, j);
    return j;
  }

  void InsertionSort(std::uint64_t n) const {
    for (std::uint64_t p = 1; p < n; ++p) {
      for (std::uint64_t q = p; q > 0 && Compare(q - 1, q) > 0; --q) Exchange(q - 1, q);
    }
  }

  void Sort(std::uint64_t n) const {
    Records records = *this;
    while (n > kInsertionSortMax) {
      const std::uint64_t k = records.Partition(n);
      const std::uint64_t behind = n - k - 1;
      // Recurse into the smaller side and loop on the larger, so the depth
      // of recursion stays below log2(n) on every input.
      if (k <= behind) {
        records.Sort(k);
        records = records.From(k + 1);
        n = behind;
      } else {
        records.From(k + 1).Sort(behind);
        n = k;
      }
    }
    records.InsertionSort(n);
  }

 private:
  std::uint64_t Width() const { return kWidth != 0 ? kWidth : width_; }

  OBS* base_;
  std::uint64_t width_;
  Order compare_;
};

// True when a numeric key of a record holds a NaN.
bool HoldsNaN(const OBS* record, const std::vector<std::uint32_t>& numericUnits) {
  for (std::uint32_t unit : numericUnits) {
    if (record[unit] != record[unit]) return true;
  }
  return false;
}

// What one pass over a batch finds: whether a numeric key holds a NaN, and
// how many records come after the next one.
struct BatchScan {
  bool nan = false;
  std::uint64_t descents = 0;
};

// The units of a key part that hold numeric keys.
std::vector<std::uint32_t> NumericUnits(const std::vector<FileSort::SortKey>& keys) {
  std::vector<std::uint32_t> numericUnits;
  std::uint32_t unit = 0;
  for (const FileSort::SortKey& key : keys) {
    if (key.width == 0) numericUnits.push_back(unit);
    unit += static_cast<std::uint32_t>(KeyUnits(key));
  }
  return numericUnits;
}

BatchScan ScanBatch(const OBS* records, std::uint64_t n, std::uint64_t width,
                    const std::vector<FileSort::SortKey>& keys, const RecordOrder& order) {
  const std::vector<std::uint32_t> numericUnits = NumericUnits(keys);
  BatchScan scan;
  const OBS* previous = nullptr;
  for (std::uint64_t i = 0; i < n; ++i, records += width) {
    if (HoldsNaN(records, numericUnits)) {
      scan.nan = true;
      return scan;
    }
    if (previous != nullptr && order(previous, records) > 0) ++scan.descents;
    previous = records;
  }
  return scan;
}

// A batch with at most one descent in this many records is first tried by
// insertion, which costs one exchange per place a record moves.
constexpr std::uint64_t kNearlyInOrderSpacing = 32;
// The insertion gives up, leaving the rest to the radix sort, when one record
// must move more than kFarthestMove places or all together more than one
// place per record: records that belong far away would otherwise cost time
// in proportion to the batch times the distance. W1's 4.7 million records
// in key order but for every 50th to 100th, moved one place, sort in 85 ms
// against 216 ms for the radix sort (batch_sort_bench). In key order but for
// the last 64th at the front, they take 351 ms against 311 ms for the radix
// sort alone, the scan for NaN and order included (404 ms with a limit of
// two exchanges per record and none on the farthest move).
constexpr std::uint64_t kFarthestMove = 64;

// Insertion sort of a batch in a total order, where every correct sort gives
// the same result; false, with the batch only partly sorted, when it would
// move records too far.
bool SortNearlyInOrder(OBS* records, std::uint64_t n, std::uint64_t width,
                       const RecordOrder& order) {
  std::uint64_t budget = n;
  for (std::uint64_t p = 1; p < n; ++p) {
    OBS* at = records + p * width;
    for (std::uint64_t moved = 0; at > records && order(at - width, at) > 0; ++moved) {
      if (moved == kFarthestMove || budget-- == 0) return false;
      std::swap_ranges(at - width, at, at);
      at -= width;
    }
  }
  return true;
}

}  // namespace

void SortRecords(OBS* records, std::uint64_t n, std::uint64_t width,
                 const FileSort::Comparator* compare) {
  const RecordOrder order(*compare);
  WithFastestOrder(order, [&](const auto& fastest) {
    using Order = std::decay_t<decltype(fastest)>;
    if constexpr (Order::kRecordUnits != 0) {
      if (width == Order::kRecordUnits) {
        return Records<Order, Order::kRecordUnits>(records, width, fastest).Sort(n);
      }
    }
    QuickSortRecords(records, n, width, order);
  });
}

void QuickSortRecords(OBS* records, std::uint64_t n, std::uint64_t width,
                      const RecordOrder& order) {
  Records<AnyKeys, 0>(records, width, AnyKeys(order)).Sort(n);
}

BatchSortPath SortBatchUnlessRadix(OBS* records, std::uint64_t n, std::uint64_t width,
                                   const FileSort::Comparator& comparator,
                                   const RecordOrder& order) {
  if (order.ComparesBytes()) {
    const BatchScan scan = ScanBatch(records, n, width, comparator.Keys(), order);
    if (!scan.nan) {
      if (scan.descents == 0) return BatchSortPath::kAlreadyInOrder;
      if (scan.descents <= n / kNearlyInOrderSpacing &&
          SortNearlyInOrder(records, n, width, order)) {
        return BatchSortPath::kNearlyInOrder;
      }
      return BatchSortPath::kRadix;
    }
  }
  SortRecords(records, n, width, &comparator);
  return BatchSortPath::kQuicksort;
}

InOrderWatch::InOrderWatch(const FileSort::Comparator& comparator, const RecordOrder& order,
                           std::uint64_t width)
    : numericUnits_(NumericUnits(comparator.Keys())),
      order_(order),
      previous_(width),
      width_(width) {}

bool InOrderWatch::Admits(const OBS* record) {
  OBS* const previous = previous_.get();
  if (HoldsNaN(record, numericUnits_) || (seen_ && order_(previous, record) > 0)) return false;
  std::memcpy(previous, record, width_ * sizeof(OBS));
  if (!seen_) seen_ = true;  // written once: see previous_
  return true;
}

BatchSortPath SortBatch(OBS* records, std::uint64_t n, std::uint64_t width,
                        const FileSort::Comparator& comparator, const RecordOrder& order,
                        const KeyWords& words) {
  const BatchSortPath path = SortBatchUnlessRadix(records, n, width, comparator, order);
  if (path == BatchSortPath::kRadix) RadixSortRecords(records, n, width, words, order);
  return path;
}

}  // namespace isort
