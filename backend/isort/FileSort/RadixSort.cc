#include "FileSort/RadixSort.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "FileSort/RecordSort.h"

namespace isort {

KeyWords::KeyWords(const std::vector<FileSort::SortKey>& keys) {
  std::uint32_t unit = 0;
  for (const FileSort::SortKey& key : keys) {
    const bool descending = key.direction < 0;
    if (key.width == 0) {
      words_.push_back({unit++, Kind::kNumber, descending, ~std::uint64_t{0}});
      continue;
    }
    for (std::uint32_t byte = 0; byte < key.width; byte += 8, ++unit) {
      const std::uint32_t bytes = std::min<std::uint32_t>(8, key.width - byte);
      const std::uint64_t mask = bytes == 8 ? ~std::uint64_t{0} : ~(~std::uint64_t{0} >> (8 * bytes));
      words_.push_back({unit, Kind::kString, descending, mask});
    }
  }
  words_.push_back({unit, Kind::kTag, false, 0xFFFFFFFFu});
}

namespace {

// Buckets of at most this many records are finished by insertion sort. 8, 16
// and 32 sort alike (batch_sort_bench, best of 4: W1's 4.7 million records in
// 290, 280 and 275 ms, W2's 1.5 million in 98, 91 and 97 ms).
constexpr std::uint64_t kInsertionSortMax = 16;
// Each level of the radix sort keeps three tables of 256 entries on the
// stack; past this depth a bucket is finished by the quicksort instead.
constexpr int kMaxDepth = 24;

// Where the radix sort stands in a record's words: word `word`, byte `byte`
// counted from the most significant.
struct Digit {
  std::size_t word;
  unsigned int byte;
};

// Records of kWidth units (0: `width`, known only at run time).
template <std::uint64_t kWidth>
class Radix {
 public:
  Radix(std::uint64_t width, const KeyWords& words, const RecordOrder& order)
      : width_(kWidth != 0 ? kWidth : width), words_(words), order_(order) {}

  void Sort(OBS* first, std::uint64_t n, Digit digit, int depth) const {
    if (n <= kInsertionSortMax) return InsertionSort(first, n);
    if (depth > kMaxDepth) return QuickSortRecords(first, n, Width(), order_);
    std::uint32_t count[256];
    if (!FindSplittingDigit(first, n, &digit, count)) return;
    std::uint64_t end[256];
    std::uint64_t next[256];
    std::uint64_t sum = 0;
    for (int b = 0; b < 256; ++b) {
      next[b] = sum;
      sum += count[b];
      end[b] = sum;
    }
    Distribute(first, digit, next, end);
    const Digit after = digit.byte == 7 ? Digit{digit.word + 1, 0} : Digit{digit.word, digit.byte + 1};
    std::uint64_t start = 0;
    for (int b = 0; b < 256; ++b) {
      if (count[b] > 1) Sort(At(first, start), count[b], after, depth + 1);
      start += count[b];
    }
  }

 private:
  std::uint64_t Width() const { return kWidth != 0 ? kWidth : width_; }
  OBS* At(OBS* first, std::uint64_t i) const { return first + i * Width(); }

  // Runs `pass` with the word's kind as a constant, so that the loops inside
  // make the word without a branch on its kind.
  template <typename Pass>
  static void WithKind(const KeyWords::Spec& spec, Pass pass) {
    using Kind = KeyWords::Kind;
    switch (spec.kind) {
      case Kind::kNumber: return pass(std::integral_constant<Kind, Kind::kNumber>());
      case Kind::kString: return pass(std::integral_constant<Kind, Kind::kString>());
      case Kind::kTag: return pass(std::integral_constant<Kind, Kind::kTag>());
    }
  }

  // Moves `digit` on to the first byte, from where it stands, in which the
  // records differ, and counts the records by that byte. False when they
  // are equal in every remaining byte.
  bool FindSplittingDigit(OBS* first, std::uint64_t n, Digit* digit,
                          std::uint32_t count[256]) const {
    while (digit->word < words_.Count()) {
      std::fill(count, count + 256, 0u);
      std::uint64_t all = ~std::uint64_t{0};
      std::uint64_t any = 0;
      const KeyWords::Spec& spec = words_[digit->word];
      const unsigned int shift = 56 - 8 * digit->byte;
      WithKind(spec, [&](auto kind) {
        for (std::uint64_t i = 0; i < n; ++i) {
          const std::uint64_t word = spec.template Of<kind()>(At(first, i));
          all &= word;
          any |= word;
          ++count[(word >> shift) & 0xFF];
        }
      });
      const std::uint64_t differ = (all ^ any) & (~std::uint64_t{0} >> (8 * digit->byte));
      if (differ == 0) {
        *digit = Digit{digit->word + 1, 0};
        continue;
      }
      const unsigned int byte = static_cast<unsigned int>(__builtin_clzll(differ)) / 8;
      if (byte == digit->byte) return true;
      digit->byte = byte;  // the bytes in front of it are equal: count by this one
    }
    return false;
  }

  void Exchange(OBS* a, OBS* b) const {
    for (std::uint64_t u = 0; u < Width(); ++u) std::swap(a[u], b[u]);
  }

  // American flag sort: each record is exchanged straight into its bucket.
  // The exchange reads a record from far away, which misses the caches and
  // the TLB; so the records at the front of a bucket go out four at a time,
  // their reads independent of each other. W1's batch of 4.7 million
  // records sorts in 285 ms against 321 ms one record at a time
  // (batch_sort_bench, best of 5).
  void Distribute(OBS* first, Digit digit, std::uint64_t next[256],
                  const std::uint64_t end[256]) const {
    constexpr std::uint64_t kAtOnce = 4;
    const KeyWords::Spec& spec = words_[digit.word];
    const unsigned int shift = 56 - 8 * digit.byte;
    WithKind(spec, [&](auto kind) {
      const auto home = [&](const OBS* record) {
        return static_cast<unsigned int>(spec.template Of<kind()>(record) >> shift) & 0xFF;
      };
      for (unsigned int b = 0; b < 256; ++b) {
        for (;;) {
          while (next[b] < end[b] && home(At(first, next[b])) == b) ++next[b];
          if (next[b] == end[b]) break;
          const std::uint64_t count = std::min(kAtOnce, end[b] - next[b]);
          unsigned int homes[kAtOnce];
          for (std::uint64_t j = 0; j < count; ++j) homes[j] = home(At(first, next[b] + j));
          for (std::uint64_t j = 0; j < count; ++j) {
            if (homes[j] != b) Exchange(At(first, next[b] + j), At(first, next[homes[j]]++));
          }
        }
      }
    });
  }

  void InsertionSort(OBS* first, std::uint64_t n) const {
    for (std::uint64_t p = 1; p < n; ++p) {
      for (std::uint64_t q = p; q > 0 && order_(At(first, q - 1), At(first, q)) > 0; --q) {
        Exchange(At(first, q - 1), At(first, q));
      }
    }
  }

  std::uint64_t width_;
  const KeyWords& words_;
  const RecordOrder& order_;
};

}  // namespace

void RadixSortRecords(OBS* records, std::uint64_t n, std::uint64_t width, const KeyWords& words,
                      const RecordOrder& order) {
  // Record widths known at compile time exchange records without a loop.
  switch (width) {
    case 2: return Radix<2>(width, words, order).Sort(records, n, Digit{0, 0}, 0);
    case 3: return Radix<3>(width, words, order).Sort(records, n, Digit{0, 0}, 0);
    case 4: return Radix<4>(width, words, order).Sort(records, n, Digit{0, 0}, 0);
    case 5: return Radix<5>(width, words, order).Sort(records, n, Digit{0, 0}, 0);
    default: return Radix<0>(width, words, order).Sort(records, n, Digit{0, 0}, 0);
  }
}

}  // namespace isort
