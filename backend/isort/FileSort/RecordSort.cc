#include "FileSort/RecordSort.h"

#include <utility>

#include "FileSort/Comparator.h"

namespace isort {
namespace {

// Partitions of at most this many records are finished by insertion sort.
constexpr std::uint64_t kInsertionSortMax = 6;
// Up to this size the pivot is the median of the first, middle and last
// record; above it, the median of three such medians (Tukey's ninther).
constexpr std::uint64_t kMedianOf3Max = 40;

class Records {
 public:
  Records(OBS* base, std::uint64_t width, const FileSort::Comparator* compare)
      : base_(base), width_(width), compare_(compare) {}

  OBS* At(std::uint64_t i) const { return base_ + i * width_; }
  int Compare(std::uint64_t i, std::uint64_t j) const {
    return (*compare_)(At(i), At(j));
  }
  void Exchange(std::uint64_t i, std::uint64_t j) const {
    OBS* a = At(i);
    OBS* b = At(j);
    for (std::uint64_t u = 0; u < width_; ++u) std::swap(a[u], b[u]);
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

 private:
  OBS* base_;
  std::uint64_t width_;
  const FileSort::Comparator* compare_;
};

void Sort(Records records, std::uint64_t n) {
  while (n > kInsertionSortMax) {
    const std::uint64_t k = records.Partition(n);
    const std::uint64_t behind = n - k - 1;
    // Recurse into the smaller side and loop on the larger, so the depth of
    // recursion stays below log2(n) on every input.
    if (k <= behind) {
      Sort(records, k);
      records = records.From(k + 1);
      n = behind;
    } else {
      Sort(records.From(k + 1), behind);
      n = k;
    }
  }
  records.InsertionSort(n);
}

}  // namespace

void SortRecords(OBS* records, std::uint64_t n, std::uint64_t width,
                 const FileSort::Comparator* compare) {
  Sort(Records(records, width, compare), n);
}

}  // namespace isort
