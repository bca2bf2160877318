// FileSort: sorts any number of fixed-width rows by a list of keys, stably,
// within a memory budget, spilling sorted runs to temporary files.
//
// A client derives from FileSort, supplies the row source (GetRow) and the row
// sink (PutRow), optionally tunes the sort with SetNRows and SetMemoryTarget,
// and calls Sort once:
//
//   class MySort : public FileSort {
//     const OBS* GetRow() override;            // next row, or null at the end
//     void PutRow(const OBS* row) override;    // next row in key order
//   };
//
// GetRow may be called from the sort's worker threads and PutRow from a worker
// or from the calling thread, but never two calls at a time.
#ifndef ISORT_FILESORT_H
#define ISORT_FILESORT_H

#include <cstdint>
#include <vector>

#include "isort/export.h"
#include "isort/types.h"

class ISORT_EXPORT FileSort {
 public:
  // One sort key.
  struct SortKey {
    unsigned int position;  // first unit of the key in the row, from 0
    int direction;          // +1 ascending, -1 descending
    unsigned int width;     // 0: numeric; otherwise string length in bytes
  };

  // Figures of one batch of rows sorted in memory.
  struct SortStatistics {
    std::uint64_t memory;     // one thread's share of the memory target
    std::uint64_t batchRows;  // the batch's capacity in rows
    std::uint64_t rows;       // rows loaded into the batch
    std::int32_t loadTime;    // elapsed-time counter over loading
    std::int32_t sortTime;    // ... over sorting in memory
    std::int32_t writeTime;   // ... over writing the run (or delivering rows)
  };

  // Figures of one merge pass.
  struct MergeStatistics {
    std::uint64_t outputBytes;  // size of the run written; 0 for the final pass
    std::uint32_t runsMerged;
    std::int32_t timeB;  // second (elapsed) time counter over the pass
    std::int32_t timeA;  // first (CPU) time counter over the pass
  };

  // Figures of a whole sort. The engine adds to the counters and appends to
  // the vectors; it never clears them.
  struct Statistics {
    std::uint64_t totalRows = 0;  // rows read from the source
    std::uint64_t runBytes = 0;   // bytes written to work files by the sorters
    std::uint32_t rowBytes = 0;   // bytes of one row's key part and payload
    std::int32_t timeB = 0;       // elapsed-time counter over run formation
    std::int32_t timeA = 0;       // CPU-time counter over run formation
    std::uint32_t threads = 0;    // threads used
    std::vector<SortStatistics> sorts;    // one per batch that loaded rows
    std::vector<MergeStatistics> merges;  // one per merge pass
  };

  class Stopwatch;
  class Data;
  class Sorter;
  class Comparator;
  class Splitter;
  class Sequence;
  class SeqReader;
  class WorkFile;

  // `statistics` may be null; otherwise it must outlive Sort.
  FileSort(const std::vector<SortKey>& keys, unsigned int rowUnits,
           Statistics* statistics);
  virtual ~FileSort();
  FileSort(const FileSort&) = delete;
  FileSort& operator=(const FileSort&) = delete;

  // The next input row (rowUnits units, valid until the next call), or null
  // when the input is exhausted; not called again after null.
  virtual const OBS* GetRow() = 0;
  // The next output row, valid only during the call. Throws to stop the sort.
  virtual void PutRow(const OBS* row) = 0;

  // The expected number of rows; negative (the default) means unknown.
  void SetNRows(long long rows);
  // The memory budget in bytes; never below the default of 512 MiB.
  void SetMemoryTarget(unsigned long bytes);

  // Reads every row from GetRow and hands each to PutRow in key order. Call
  // once. Throws std::bad_alloc, ErrorText (<isort/vorn/Errors.h>) and
  // whatever GetRow, PutRow or the platform throw; no work file outlives the
  // FileSort.
  void Sort();

 protected:
  // The shared state of the sort. Its class is the engine's own; a derived
  // class that is part of the engine (its tests, say) may reach it.
  Data* data;
};

#endif  // ISORT_FILESORT_H
