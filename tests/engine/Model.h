// A literal model of the order in which the engine delivers rows: batches cut
// by the batch size, each sorted by the record quicksort, and runs merged by
// the heap merge in passes planned within the budget. Where the comparison is
// a strict weak order every correct sort agrees with the stable oracle; where
// it is not (a NaN ties with every number, so a NaN between 1 and 2 makes
// 2 "equal" to a NaN that is "equal" to 1) only these algorithms define the
// order, and the engine must give exactly theirs.
//
// The model works on whole rows and is written from the algorithms, not from
// the engine's code. It needs every unit of a row to be a key (no payload),
// so that a batch is exactly `batchRows` rows and tags are the ordinals.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "Oracle.h"
#include "vorn/Collator.h"

namespace isort::testing {

struct ModelRecord {
  const OBS* row;
  std::uint64_t tag;  // ordinal in the batch while sorting; batch number while merging
};

// The engine's comparison of two records: keys in order (numbers as doubles,
// a NaN tying; strings by the collator), then the tags' low halves.
class ModelOrder {
 public:
  ModelOrder(const std::vector<FileSort::SortKey>& keys, const VORNMBCollator& collator)
      : keys_(keys), collator_(collator) {}

  int operator()(const ModelRecord& a, const ModelRecord& b) const {
    for (const FileSort::SortKey& key : keys_) {
      int result;
      if (key.width == 0) {
        const double x = a.row[key.position], y = b.row[key.position];
        result = x < y ? -1 : (y < x ? 1 : 0);
      } else {
        result = collator_.Compare(reinterpret_cast<const char*>(a.row + key.position),
                                   static_cast<int>(key.width),
                                   reinterpret_cast<const char*>(b.row + key.position),
                                   static_cast<int>(key.width));
        result = result < 0 ? -1 : (result > 0 ? 1 : 0);
      }
      if (result != 0) return key.direction > 0 ? result : -result;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a.tag) -
                                     static_cast<std::uint32_t>(b.tag));
  }

 private:
  std::vector<FileSort::SortKey> keys_;
  const VORNMBCollator& collator_;
};

// The record quicksort, step by step.
inline void ModelQuicksort(ModelRecord* r, std::size_t n, const ModelOrder& cmp) {
  const auto med3 = [&](std::size_t a, std::size_t b, std::size_t c) {
    if (cmp(r[a], r[b]) < 0) return cmp(r[b], r[c]) < 0 ? b : (cmp(r[a], r[c]) < 0 ? c : a);
    return cmp(r[b], r[c]) > 0 ? b : (cmp(r[a], r[c]) > 0 ? c : a);
  };
  while (n > 6) {
    const std::size_t m = n / 2;
    std::size_t pivot = m;
    if (n > 7 && n <= 40) pivot = med3(0, m, n - 1);
    if (n > 40) {
      const std::size_t d = n / 8;
      pivot = med3(med3(0, d, 2 * d), med3(n / 2 - d, m, n / 2 + d),
                   med3(n - 1 - 2 * d, n - 1 - d, n - 1));
    }
    std::swap(r[pivot], r[0]);
    std::size_t i = 1, j = n;
    while (i < n && cmp(r[i], r[0]) < 0) ++i;
    for (;;) {
      do --j; while (cmp(r[j], r[0]) > 0);
      if (j < i) break;
      std::swap(r[i], r[j]);
      ++i;
      while (i < n && cmp(r[i], r[0]) < 0) ++i;
    }
    std::swap(r[0], r[j]);
    ModelQuicksort(r, j, cmp);
    r += j + 1;
    n -= j + 1;
  }
  for (std::size_t p = 1; p < n; ++p) {
    for (std::size_t q = p; q > 0 && cmp(r[q - 1], r[q]) > 0; --q) std::swap(r[q - 1], r[q]);
  }
}

// One merge pass: the runs' first rows pushed in reader order, then pop the
// first and push its run's next, with the standard library's heap.
inline std::vector<ModelRecord> ModelHeapMerge(const std::vector<std::vector<ModelRecord>>& runs,
                                               const ModelOrder& cmp) {
  struct Entry {
    std::size_t run, next;
  };
  const auto sortsAfter = [&](const Entry& a, const Entry& b) {
    return cmp(runs[a.run][a.next], runs[b.run][b.next]) > 0;
  };
  std::vector<Entry> heap;
  for (std::size_t run = 0; run < runs.size(); ++run) {
    if (runs[run].empty()) continue;
    heap.push_back({run, 0});
    std::push_heap(heap.begin(), heap.end(), sortsAfter);
  }
  std::vector<ModelRecord> out;
  while (!heap.empty()) {
    Entry first = heap.front();
    std::pop_heap(heap.begin(), heap.end(), sortsAfter);
    heap.pop_back();
    out.push_back(runs[first.run][first.next]);
    if (++first.next < runs[first.run].size()) {
      heap.push_back(first);
      std::push_heap(heap.begin(), heap.end(), sortsAfter);
    }
  }
  return out;
}

// The rows of `set` as the engine delivers them with batches of `batchRows`
// rows, a budget of `budget` bytes and handles of `footprint` bytes.
inline std::vector<OBS> ModelSort(const DataSet& set, const VORNMBCollator& collator,
                                  std::size_t batchRows, std::uint64_t budget,
                                  std::uint64_t footprint) {
  const ModelOrder cmp(set.keys, collator);
  const std::size_t n = set.RowCount();
  const auto rowsOf = [&set](const std::vector<ModelRecord>& records) {
    std::vector<OBS> rows;
    for (const ModelRecord& record : records) {
      rows.insert(rows.end(), record.row, record.row + set.units);
    }
    return rows;
  };
  std::deque<std::vector<ModelRecord>> waiting;  // the front holds the newest batch
  for (std::size_t first = 0, batch = 0; first < n; first += batchRows, ++batch) {
    std::vector<ModelRecord> records;
    for (std::size_t i = first; i < std::min(n, first + batchRows); ++i) {
      records.push_back({set.Row(i), i - first});
    }
    ModelQuicksort(records.data(), records.size(), cmp);
    // Input that ends inside the first batch goes straight out.
    if (n < batchRows) return rowsOf(records);
    for (ModelRecord& record : records) record.tag = batch;
    waiting.push_front(records);
  }
  while (!waiting.empty()) {
    // Runs a final pass could read beside the output counted twice; runs
    // this pass reads beside the output once, two at least.
    const std::size_t fit = budget / footprint, waits = waiting.size();
    const std::size_t final = std::min(waits, fit < 2 ? 0 : fit - 2);
    std::size_t take = waits;
    if (final != waits) {
      take = std::min(std::min(waits + 2 - final, waits), fit < 1 ? 0 : fit - 1);
      take = std::max<std::size_t>(take, std::min<std::size_t>(waits, 2));
    }
    const std::vector<std::vector<ModelRecord>> pass(waiting.begin(), waiting.begin() + take);
    waiting.erase(waiting.begin(), waiting.begin() + take);
    std::vector<ModelRecord> merged = ModelHeapMerge(pass, cmp);
    if (waiting.empty()) return rowsOf(merged);
    waiting.push_back(std::move(merged));
  }
  return {};
}

}  // namespace isort::testing
