// Merging the sorted runs: planning the passes within the memory budget, and
// the heap merge of one pass.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "FileSort/CacheLines.h"
#include "FileSort/Data.h"
#include "FileSort/RowPipe.h"
#include "FileSort/Stopwatch.h"

namespace {

// The memory one open handle on `file` costs.
std::uint32_t Footprint(const FileSort::WorkFile* file) {
  return static_cast<std::uint32_t>(file->Footprint());
}

}  // namespace

void FileSort::Data::Merge() {
  while (!sequences.empty()) {
    std::deque<SeqReader> readers;
    int timeA = 0;
    int timeB = 0;
    {
      Stopwatch stopwatch(&timeA, &timeB);
      auto outputFile = std::make_unique<WorkFile>("merge");
      Sequence output(outputFile.get());

      const std::uint32_t outputFootprint = Footprint(outputFile.get());
      const std::size_t fanIn = PassFanIn(outputFootprint, FinalFanIn(outputFootprint));
      for (std::size_t i = 0; i < fanIn; ++i) {
        readers.emplace_back(sequences.front());
        readers.back().Rewind();
        sequences.pop_front();
      }
      ClearWorkfiles();
      DoMerge(readers, output);

      if (!sequences.empty()) {
        workFiles.reserve(workFiles.size() + 1);
        sequences.push_back(output);
        workFiles.push_back(outputFile.release());
      }
    }
    if (statistics != nullptr) {
      const std::uint64_t outputBytes =
          sequences.empty() ? 0 : static_cast<std::uint64_t>(sequences.back().Size());
      statistics->merges.push_back({outputBytes,
                                    static_cast<std::uint32_t>(readers.size()),
                                    timeB, timeA});
    }
  }
}

std::size_t FileSort::Data::FinalFanIn(std::uint32_t outputFootprint) const {
  // How many runs, taken from the back, a final pass could read beside the
  // output handle counted twice.
  std::size_t runs = 0;
  std::uint64_t cost = static_cast<std::uint32_t>(2 * outputFootprint);
  for (auto run = sequences.rbegin(); run != sequences.rend(); ++run) {
    cost += Footprint(run->file);
    if (cost > memoryTarget) break;
    ++runs;
  }
  return runs;
}

std::size_t FileSort::Data::PassFanIn(std::uint32_t outputFootprint,
                                      std::size_t finalFanIn) const {
  const std::size_t waiting = sequences.size();
  if (finalFanIn == waiting) return waiting;
  // A pass that cannot take every run takes at most waiting + 2 - finalFanIn
  // of them from the front, leaving finalFanIn - 1 for the next pass.
  const std::size_t limit = std::min(waiting + 2 - finalFanIn, waiting);
  std::uint64_t cost = outputFootprint;
  std::size_t runs = 0;
  for (const Sequence& run : sequences) {
    if (runs >= limit) break;
    cost += Footprint(run.file);
    if (cost > memoryTarget) break;
    ++runs;
  }
  // Whatever the footprints, a pass takes two runs when two or more wait:
  // a pass of fewer would never reduce their number.
  return std::max(runs, std::min<std::size_t>(waiting, 2));
}

namespace {

using Entry = FileSort::Data::MergeEntry;

// True when a's row sorts after b's, by `order`, which gives the
// Comparator's signs.
template <typename Order>
struct SortsAfter {
  const Order& order;
  bool operator()(const Entry& a, const Entry& b) const {
    return order(a.reader->key.get(), b.reader->key.get()) > 0;
  }
};

// The standard library's max-heap under "sorts after", so that the entry
// whose row sorts first is at the front, written out step for step as
// libstdc++ does it: the same comparisons in the same order, so the same
// result where NaN keys make the order intransitive. Written out, the choice
// of a child is a conditional move instead of a branch that the random
// order of the runs' rows mispredicts: the final merge of three runs of W1
// (runs_bench) takes 668 ms against 764 ms with std::pop_heap and
// std::push_heap (best of 4).

// Moves `value` up from `hole` while its parent's row sorts after it.
template <typename After>
void SiftUp(Entry* heap, std::ptrdiff_t hole, Entry value, const After& after) {
  std::ptrdiff_t parent = (hole - 1) / 2;
  while (hole > 0 && after(heap[parent], value)) {
    heap[hole] = heap[parent];
    hole = parent;
    parent = (hole - 1) / 2;
  }
  heap[hole] = value;
}

template <typename After>
void PushHeap(std::vector<Entry>& heap, Entry value, const After& after) {
  heap.push_back(value);
  SiftUp(heap.data(), static_cast<std::ptrdiff_t>(heap.size()) - 1, value, after);
}

// Removes the front entry: the hole it leaves moves down to a leaf, always
// to the child whose row sorts first (the right one on a tie), and the last
// entry moves up from there.
template <typename After>
void PopHeap(std::vector<Entry>& heap, const After& after) {
  const auto size = static_cast<std::ptrdiff_t>(heap.size()) - 1;  // without the front
  Entry* entries = heap.data();
  const Entry last = entries[size];
  std::ptrdiff_t hole = 0;
  std::ptrdiff_t child = 0;
  while (child < (size - 1) / 2) {
    child = 2 * (child + 1);
    child -= after(entries[child], entries[child - 1]) ? 1 : 0;
    entries[hole] = entries[child];
    hole = child;
  }
  if ((size & 1) == 0 && child == (size - 2) / 2) {
    child = 2 * (child + 1);
    entries[hole] = entries[child - 1];
    hole = child - 1;
  }
  SiftUp(entries, hole, last, after);
  heap.pop_back();
}

}  // namespace

void FileSort::Data::DoMerge(std::deque<SeqReader>& readers, Sequence& output) {
  const isort::RecordOrder order(comparator);
  isort::WithFastestOrder(order, [&](const auto& fastest) { MergeRuns(readers, output, fastest); });
}

template <typename Order>
void FileSort::Data::MergeRuns(std::deque<SeqReader>& readers, Sequence& output,
                               const Order& order) {
  const unsigned int keyUnits = splitter.keyUnits;
  const unsigned int payloadUnits = splitter.payloadUnits;
  for (SeqReader& reader : readers) reader.Allocate(keyUnits, payloadUnits);
  if (!sequences.empty()) {
    isort::RunWriter writer(output, keyUnits, payloadUnits);
    HeapMerge(readers, order, [&](SeqReader& reader) {
      OBS* record = reader.key.get();
      std::uint64_t batch;
      std::memcpy(&batch, record + keyUnits, sizeof batch);
      writer.Append(record, batch, reader.payload.get());
    });
    return;
  }
  // The final pass delivers every row, joined on the delivering thread (the
  // readers' parts are the helper's).
  const isort::PaddedUnits row(rowUnits);
  isort::RowPipe::HandOver(
      keyUnits + 1, payloadUnits,
      [&](auto handOn) {
        HeapMerge(readers, order,
                  [&](SeqReader& reader) { handOn(reader.key.get(), reader.payload.get()); });
      },
      [&](const OBS* record, const OBS* payload) {
        splitter.Join(record, payload, row.get());
        owner->PutRow(row.get());
      });
}

template <typename Order, typename Take>
void FileSort::Data::HeapMerge(std::deque<SeqReader>& readers, const Order& order, Take take) {
  if (!partialOrder.load() && readers.size() <= kFewRuns) {
    return FewRunsMerge(readers, order, take);
  }
  const SortsAfter<Order> sortsAfter{order};
  std::vector<MergeEntry> heap;
  heap.reserve(readers.size());
  for (SeqReader& reader : readers) {
    if (reader.Read()) PushHeap(heap, {&reader, &comparator}, sortsAfter);
  }
  while (!heap.empty()) {
    SeqReader* reader = heap.front().reader;
    PopHeap(heap, sortsAfter);
    take(*reader);
    if (reader->Read()) PushHeap(heap, {reader, &comparator}, sortsAfter);
  }
}

// Where every row has numeric keys without NaN and strings in byte order, the
// comparison with the tag is a total order between rows of different runs
// (their batches differ), and each run is in order: every merge gives the
// one merged order, the heap's included. So the merge takes the first of
// the runs' current rows by comparing them in turn, inline, on the rows
// themselves, with no entries moved: more comparisons than the heap's pop
// and push beyond four runs, but cheaper ones. The final merge of W1 rows
// (runs_bench, alternating with the heap; this machine has a fast and a
// slow mode): three runs of 4.7 million rows 565-621 ms and 836-933 ms
// against 660-728 ms and 1024-1108 ms (12 rounds); runs of 1.5 million rows
// (BM_MergeRuns), 6 runs 572-619 ms against 710-771, 8 runs 855-913 against
// 1037-1084 (6 rounds), 12 runs 1372-1576 against 1710-2042, 16 runs
// 2140-3474 against 2429-3678 (4 rounds): so up to 12 runs (kFewRuns).
// Comparing without branches (every key, combined by bit operations, and
// the choice by arithmetic) was slower: 585-604 ms against 563-590 ms for
// three runs (10 rounds), the next comparison then waiting for the last.
// Letting the run in front keep its place while its rows come before the
// runner-up's (one comparison per row where the runs follow one another)
// gained nothing end to end either (from a file, rounds alternating): the
// merge of W1 in key order took 432-439 ms against 412-447 (3 fast rounds of
// 5), that of shuffled W1 504-511 against 479-489 (4 rounds); comparing is
// not what it waits for.
template <typename Order, typename Take>
void FileSort::Data::FewRunsMerge(std::deque<SeqReader>& readers, const Order& order,
                                  Take take) {
  SeqReader* runs[kFewRuns];
  std::size_t count = 0;
  for (SeqReader& reader : readers) {
    if (reader.Read()) runs[count++] = &reader;
  }
  while (count > 0) {
    std::size_t first = 0;
    for (std::size_t i = 1; i < count; ++i) {
      first = order(runs[first]->key.get(), runs[i]->key.get()) > 0 ? i : first;
    }
    SeqReader* reader = runs[first];
    take(*reader);
    if (!reader->Read()) runs[first] = runs[--count];
  }
}
