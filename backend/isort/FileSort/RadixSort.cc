#include "FileSort/RadixSort.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
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

// A stepped sort splits buckets, the largest first, until none holds more
// than this share of the records (or there would be more than kMaxTasks of
// them); two threads then take them in the records' order.
constexpr std::uint64_t kTaskShare = 32;
constexpr std::size_t kMaxTasks = 2048;

// Where the radix sort stands in a record's words: word `word`, byte `byte`
// counted from the most significant.
struct Digit {
  std::size_t word;
  unsigned int byte;
};

// A bucket still to sort, from `digit` on.
struct Task {
  OBS* first;
  std::uint64_t n;
  Digit digit;
  int depth;
};

// The radix sort's steps on records of a width known only at run time: a
// stepped sort keeps one.
class AnyRadix {
 public:
  virtual ~AnyRadix() = default;
  // Splits the batch until no bucket holds more than 1/kTaskShare of it;
  // see Radix::SplitIntoTasks.
  virtual std::size_t Split(OBS* first, std::uint64_t n, Task tasks[kMaxTasks]) const = 0;
  virtual void Sort(const Task& task) const = 0;
};

// Records of kWidth units (0: `width`, known only at run time).
template <std::uint64_t kWidth>
class Radix : public AnyRadix {
 public:
  Radix(std::uint64_t width, const KeyWords& words, const RecordOrder& order)
      : width_(kWidth != 0 ? kWidth : width), words_(words), order_(order) {}

  void Sort(OBS* first, std::uint64_t n, Digit digit, int depth) const {
    Sort({first, n, digit, depth});
  }

  std::size_t Split(OBS* first, std::uint64_t n, Task tasks[kMaxTasks]) const override {
    return SplitIntoTasks({first, n, Digit{0, 0}, 0}, tasks);
  }

  void Sort(const Task& task) const override {
    OBS* const first = task.first;
    const std::uint64_t n = task.n;
    Digit digit = task.digit;
    const int depth = task.depth;
    if (n <= kInsertionSortMax) return InsertionSort(first, n);
    if (depth > kMaxDepth) return QuickSortRecords(first, n, Width(), order_);
    std::uint32_t count[256];
    if (!FindSplittingDigit(first, n, &digit, count)) return;
    DistributeByCount(first, digit, count);
    std::uint64_t start = 0;
    for (int b = 0; b < 256; ++b) {
      if (count[b] > 1) Sort({At(first, start), count[b], After(digit), depth + 1});
      start += count[b];
    }
  }

 private:
  // Splits the largest bucket, level by level, into `tasks`; returns how many
  // there are. The buckets left out are those sorted already.
  std::size_t SplitIntoTasks(Task whole, Task tasks[kMaxTasks]) const {
    std::size_t count = 0;
    tasks[count++] = whole;
    const std::uint64_t small = std::max(whole.n / kTaskShare, kInsertionSortMax);
    while (count != 0) {
      Task* largest = std::max_element(tasks, tasks + count,
                                       [](const Task& a, const Task& b) { return a.n < b.n; });
      if (largest->n <= small || largest->depth > kMaxDepth || count + 255 > kMaxTasks) break;
      Task task = *largest;
      *largest = tasks[--count];
      std::uint32_t buckets[256];
      if (!FindSplittingDigit(task.first, task.n, &task.digit, buckets)) continue;
      DistributeByCount(task.first, task.digit, buckets);
      std::uint64_t start = 0;
      for (int b = 0; b < 256; ++b) {
        if (buckets[b] > 1) {
          tasks[count++] = {At(task.first, start), buckets[b], After(task.digit), task.depth + 1};
        }
        start += buckets[b];
      }
    }
    return count;
  }

  static Digit After(Digit digit) {
    return digit.byte == 7 ? Digit{digit.word + 1, 0} : Digit{digit.word, digit.byte + 1};
  }

  // Distributes the records into the buckets of `digit`, which hold
  // count[b] records each.
  void DistributeByCount(OBS* first, Digit digit, const std::uint32_t count[256]) const {
    std::uint64_t end[256];
    std::uint64_t next[256];
    std::uint64_t sum = 0;
    for (int b = 0; b < 256; ++b) {
      next[b] = sum;
      sum += count[b];
      end[b] = sum;
    }
    Distribute(first, digit, next, end);
  }

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
  // (batch_sort_bench, best of 5). Each bucket fills from its front, one of
  // 256 streams, too many for the processor to fetch ahead of by itself:
  // fetching the record kAhead places on as one goes in, the same batch
  // sorts in 256-267 ms against 293-303 ms (4 rounds alternating; 8 places
  // on sorts alike, 32 no faster), stepped on two threads in 157-173
  // against 194-207 ms; W2's sorts alike.
  void Distribute(OBS* first, Digit digit, std::uint64_t next[256],
                  const std::uint64_t end[256]) const {
    constexpr std::uint64_t kAtOnce = 4;
    constexpr std::uint64_t kAhead = 16;
    const std::uint64_t last = end[255];  // where the records end
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
            if (homes[j] == b) continue;
            const unsigned int h = homes[j];
            Exchange(At(first, next[b] + j), At(first, next[h]++));
            __builtin_prefetch(At(first, std::min(next[h] + kAhead, last)), 1);
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

// Calls `use(radix)` with the radix sort for records of `width` units.
// Widths known at compile time exchange records without a loop.
template <typename Use>
void WithRadix(std::uint64_t width, const KeyWords& words, const RecordOrder& order, Use use) {
  switch (width) {
    case 2: return use(Radix<2>(width, words, order));
    case 3: return use(Radix<3>(width, words, order));
    case 4: return use(Radix<4>(width, words, order));
    case 5: return use(Radix<5>(width, words, order));
    default: return use(Radix<0>(width, words, order));
  }
}

}  // namespace

void RadixSortRecords(OBS* records, std::uint64_t n, std::uint64_t width, const KeyWords& words,
                      const RecordOrder& order) {
  WithRadix(width, words, order,
            [&](const auto& radix) { radix.Sort(records, n, Digit{0, 0}, 0); });
}

// The buckets left after the split, in the records' order; those of one
// record or none are in place already.
struct SteppedRadixSort::Steps {
  std::unique_ptr<AnyRadix> radix;
  OBS* records;
  std::uint64_t n;
  std::uint64_t width;
  Task tasks[kMaxTasks];
  bool done[kMaxTasks];
  std::size_t count = 0;
  std::size_t taken = 0;     // buckets that a thread has begun to sort
  std::size_t finished = 0;  // buckets sorted, all before them too
};

SteppedRadixSort::SteppedRadixSort(OBS* records, std::uint64_t n, std::uint64_t width,
                                   const KeyWords& words, const RecordOrder& order)
    : steps_(std::make_unique<Steps>()) {
  WithRadix(width, words, order, [this](const auto& radix) {
    steps_->radix = std::make_unique<std::decay_t<decltype(radix)>>(radix);
  });
  steps_->records = records;
  steps_->n = n;
  steps_->width = width;
  steps_->count = steps_->radix->Split(records, n, steps_->tasks);
  std::sort(steps_->tasks, steps_->tasks + steps_->count,
            [](const Task& a, const Task& b) { return a.first < b.first; });
  std::fill(steps_->done, steps_->done + steps_->count, false);
  sorted_.store(SortedBefore(0));
}

SteppedRadixSort::~SteppedRadixSort() = default;

std::uint64_t SteppedRadixSort::SortedBefore(std::size_t task) const {
  if (task == steps_->count) return steps_->n;
  return static_cast<std::uint64_t>(steps_->tasks[task].first - steps_->records) / steps_->width;
}

bool SteppedRadixSort::SortNext() {
  std::size_t task;
  {
    const std::lock_guard<std::mutex> hold(lock_);
    if (steps_->taken == steps_->count) return false;
    task = steps_->taken++;
  }
  steps_->radix->Sort(steps_->tasks[task]);
  {
    const std::lock_guard<std::mutex> hold(lock_);
    steps_->done[task] = true;
    while (steps_->finished < steps_->count && steps_->done[steps_->finished]) {
      ++steps_->finished;
    }
    sorted_.store(SortedBefore(steps_->finished), std::memory_order_release);
  }
  changed_.notify_all();
  return true;
}

void SteppedRadixSort::WaitForSorted(std::uint64_t n) {
  while (sorted_.load(std::memory_order_acquire) < n) {
    if (SortNext()) continue;
    // Every bucket is taken: the other thread is sorting those still missing.
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this, n] { return sorted_.load(std::memory_order_acquire) >= n; });
  }
}

}  // namespace isort
