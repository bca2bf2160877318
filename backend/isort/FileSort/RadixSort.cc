#include "FileSort/RadixSort.h"

#include <algorithm>
#include <cstring>
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

std::uint64_t KeyWords::Word(const OBS* record, std::size_t i) const {
  const Spec& spec = words_[i];
  std::uint64_t bits;
  std::memcpy(&bits, record + spec.unit, sizeof bits);
  switch (spec.kind) {
    case Kind::kNumber:
      if (bits == std::uint64_t{1} << 63) bits = 0;  // -0.0 equals +0.0
      bits = (bits >> 63) != 0 ? ~bits : bits | std::uint64_t{1} << 63;
      return spec.descending ? ~bits : bits;
    case Kind::kString:
      bits = __builtin_bswap64(bits);  // the first byte of the string is the most significant
      return (spec.descending ? ~bits : bits) & spec.mask;
    case Kind::kTag:
      return bits & spec.mask;
  }
  return 0;
}

namespace {

// Buckets of at most this many records are finished by insertion sort: on
// W1's batches 32 sorted fastest of 8, 16, 32, 64 and 128.
constexpr std::uint64_t kInsertionSortMax = 32;
// Each level of the radix sort keeps three tables of 256 entries on the
// stack; past this depth a bucket is finished by the quicksort instead.
constexpr int kMaxDepth = 24;

// Where the radix sort stands in a record's words: word `word`, byte `byte`
// counted from the most significant.
struct Digit {
  std::size_t word;
  unsigned int byte;
};

class Radix {
 public:
  Radix(std::uint64_t width, const KeyWords& words, const RecordOrder& order)
      : width_(width), words_(words), order_(order) {}

  void Sort(OBS* first, std::uint64_t n, Digit digit, int depth) const {
    if (n <= kInsertionSortMax) return InsertionSort(first, n);
    if (depth > kMaxDepth) return QuickSortRecords(first, n, width_, order_);
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
    const Digit after = Following(digit);
    std::uint64_t start = 0;
    for (int b = 0; b < 256; ++b) {
      if (count[b] > 1) Sort(At(first, start), count[b], after, depth + 1);
      start += count[b];
    }
  }

 private:
  OBS* At(OBS* first, std::uint64_t i) const { return first + i * width_; }

  unsigned int ByteOf(const OBS* record, Digit digit) const {
    return static_cast<unsigned int>(words_.Word(record, digit.word) >> (56 - 8 * digit.byte)) &
           0xFF;
  }

  Digit Following(Digit digit) const {
    return digit.byte == 7 ? Digit{digit.word + 1, 0} : Digit{digit.word, digit.byte + 1};
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
      for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t word = words_.Word(At(first, i), digit->word);
        all &= word;
        any |= word;
        ++count[(word >> (56 - 8 * digit->byte)) & 0xFF];
      }
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
    for (std::uint64_t u = 0; u < width_; ++u) std::swap(a[u], b[u]);
  }

  // American flag sort: each record is exchanged straight into its bucket.
  void Distribute(OBS* first, Digit digit, std::uint64_t next[256],
                  const std::uint64_t end[256]) const {
    for (int b = 0; b < 256; ++b) {
      while (next[b] < end[b]) {
        OBS* record = At(first, next[b]);
        const unsigned int home = ByteOf(record, digit);
        if (home == static_cast<unsigned int>(b)) {
          ++next[b];
        } else {
          Exchange(record, At(first, next[home]++));
        }
      }
    }
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
  Radix(width, words, order).Sort(records, n, Digit{0, 0}, 0);
}

}  // namespace isort
