// FileSort::Data: everything the threads of one sort share. It is the problem
// that the parallel batch driver runs: it makes one Sorter per thread.
//
// Threads: the fields written while loading a batch (batchCount,
// inputExhausted, rowsLoaded, packedBytes, workFiles, sequences, statistics)
// need no lock because the driver never runs two LoadBatch calls at once. The
// failure fields may be set by any part at any time and are read by all.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "FileSort/Comparator.h"
#include "FileSort/Runs.h"
#include "FileSort/Splitter.h"
#include "isort/FileSort.h"
#include "mtxp/Driver.h"
#include "vorn/Errors.h"

class ISORT_NO_EXPORT FileSort::Data : public mtxp::ProblemBase {
 public:
  // The default budget, which is also the floor of SetMemoryTarget.
  static constexpr std::uint64_t kDefaultMemoryTarget = 0x20000000;

  // One run of a merge pass in the heap, standing for its reader's current
  // row. The heap orders entries by "sorts after" (Merge.cc), so that the
  // standard max-heap keeps the row that sorts first at its front.
  struct MergeEntry {
    SeqReader* reader;
    const Comparator* comparator;
  };

  Data(const std::vector<FileSort::SortKey>& keys, unsigned int rowUnits,
       FileSort::Statistics* statistics, FileSort* owner);
  ~Data() override;

  // A new Sorter for one worker thread; the caller owns it.
  mtxp::ProblemPartBase* MakePart() override;

  // The rows that a batch may hold within a budget of `bytes`.
  std::uint64_t BatchSize(std::uint64_t bytes) const;
  // The compressed payload bytes of one row: the average over every row
  // loaded so far, rounded up; `beforeAnyRow` while none has been loaded.
  std::uint64_t PayloadBytesPerRow(std::uint64_t beforeAnyRow) const;

  // A new "sort" work file, owned by this Data.
  WorkFile* NewWorkFile();

  // Releases Data's handle of every work file that another handle shares,
  // except files that a run still waiting in `sequences` lies in.
  void ClearWorkfiles();

  // Merges the waiting runs in passes and delivers every row to PutRow.
  void Merge();
  void DoMerge(std::deque<SeqReader>& readers, Sequence& output);
  // DoMerge with `order`, an order that gives the Comparator's signs faster.
  template <typename Order>
  void MergeRuns(std::deque<SeqReader>& readers, Sequence& output, const Order& order);
  // The heap merge of `readers`: calls take(reader) for each row, in order.
  template <typename Order, typename Take>
  void HeapMerge(std::deque<SeqReader>& readers, const Order& order, Take take);
  // The same rows in the same order, for at most kFewRuns runs whose rows
  // are totally ordered (see partialOrder), by comparing the runs' current
  // rows in turn instead of keeping a heap.
  static constexpr std::size_t kFewRuns = 12;
  template <typename Order, typename Take>
  void FewRunsMerge(std::deque<SeqReader>& readers, const Order& order, Take take);
  // The merge planning: how many runs, from the back of the queue, a final
  // pass could read within the budget; and how many, from the front, the
  // next pass takes.
  std::size_t FinalFanIn(std::uint32_t outputFootprint) const;
  std::size_t PassFanIn(std::uint32_t outputFootprint, std::size_t finalFanIn) const;

  // Records a worker's failure; safe from several threads at once.
  void RecordOutOfMemory();
  void RecordError(const ErrorText& error);
  bool Failed() const { return outOfMemory.load() || failed.load(); }

  unsigned int rowUnits;
  FileSort* owner;
  std::vector<WorkFile*> workFiles;
  std::deque<Sequence> sequences;
  Splitter splitter;
  Comparator comparator;
  unsigned int batchCount = 0;
  bool inputExhausted = false;
  double rowsLoaded = 0.0;
  double packedBytes = 0.0;
  std::uint64_t memoryTarget = kDefaultMemoryTarget;
  unsigned int threadCount = 1;
  std::int64_t rowCount = -1;
  FileSort::Statistics* statistics;
  ErrorText errorText;
  std::atomic<bool> outOfMemory{false};
  std::atomic<bool> failed{false};
  // Set by a part whose batch the record quicksort sorted: one with a NaN
  // key, whose comparison is then no strict weak order, so that only the
  // heap merge step for step gives its result; or with strings in a
  // collator's order, which keep the heap too.
  std::atomic<bool> partialOrder{false};

 private:
  // Guards errorText: two parts may fail at the same moment. The later one
  // replaces the earlier, as failures in sequence do.
  std::mutex errorLock;
};
