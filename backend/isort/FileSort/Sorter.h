// FileSort::Sorter: the part of a sort that one worker thread runs. It loads
// batches of rows, keeps each row's key part with a tag unit in a record
// buffer and its payload compressed in an in-memory store, sorts the records
// and writes them as one run per batch (or, when the first batch holds the
// whole input, hands the rows straight to PutRow). A later batch whose rows
// come in order is written to its run as it loads, without either; once it
// has come in order a while, by a helper (RunFeed.h).
#pragma once

#include <cstdint>
#include <memory>

#include "FileSort/Comparator.h"
#include "FileSort/Prefaulter.h"
#include "FileSort/RadixSort.h"
#include "FileSort/RecordBuffer.h"
#include "FileSort/RunFeed.h"
#include "isort/FileSort.h"
#include "mtxp/Driver.h"
#include "vorn/Streams.h"

class ISORT_NO_EXPORT FileSort::Sorter : public mtxp::ProblemPartBase {
 public:
  explicit Sorter(Data* data);
  ~Sorter() override;
  Sorter(const Sorter&) = delete;
  Sorter& operator=(const Sorter&) = delete;

  bool LoadBatch() override;
  void ProcessBatch() override;
  void Combine() override;

 private:
  // Runs a batch operation, recording a failure in the Data instead of
  // letting it leave: the driver must end normally.
  template <typename Operation>
  void Recording(Operation operation);
  // Calls `take(record)` for every record of the batch in their order, with
  // `payloads` at the record's payload; with `stepped`, each once it is
  // sorted.
  template <typename Take>
  void ForEachRecord(Take take, isort::SteppedRadixSort* stepped);

  bool FillBatch();
  // Makes the batch's run, at the current end of the work file, unless it
  // has one.
  void OpenRun();
  // Appends a row to the batch's run, which it makes at the first row;
  // returns the bytes of the row's payload group.
  std::uint64_t AppendToRun(OBS* record, const OBS* payload);
  // A helper that appends the batch's next rows to its run (RunFeed.h), or
  // null where none pays or the system has no thread to spare.
  std::unique_ptr<isort::RunFeed> StartFeed();
  // Brings the rows loaded so far, which went into the run, back into the
  // record buffer and the store, as if they had been loaded there, and
  // empties the run.
  void TakeBackRows();
  // Sorts the batch. The batch that ends the input, where the radix sort
  // takes it, is only split into buckets: `stepped` sorts them while the
  // rows are delivered or written (and its time counts as theirs).
  void SortBatch(std::unique_ptr<isort::SteppedRadixSort>* stepped);
  // Hands the batch's rows to PutRow, or writes them as a run; with
  // `stepped`, sorting its buckets meanwhile, ahead of the rows.
  void DeliverRows(isort::SteppedRadixSort* stepped);
  void WriteRun(isort::SteppedRadixSort* stepped);
  void FileStatistics();
  void SetPayloadLimit();
  // Starts faulting in the record buffer and the first `storeEnd` bytes of
  // the payload store.
  void StartPrefaulting(isort::Prefaulter& prefaulter, std::uint64_t storeEnd);
  // Where the payload store lies now, or null where the platform does not
  // tell or the rows have no payload.
  const void* StoreAddress() const;
  // The most payload bytes a batch may hold.
  std::uint64_t PayloadCeiling() const;

  std::uint32_t payloadLimit = 0;
  Data* data;
  isort::RecordBuffer batch;  // batchRows records of keyUnits + 1 units
  unsigned int batchNumber = 0;
  // The batch's compressed payloads. The store is kept from batch to batch,
  // like the record buffer: fresh memory costs its page faults again. It was
  // made for `storeBytes` (the share); within them it does not move, so a
  // helper may fault them in while a batch loads.
  std::unique_ptr<VORN_InMemoryFile> payloads;
  std::uint32_t storeBytes = 0;
  // One payload group as the store would hold it, for the rows that this
  // thread appends to their run as they load (RunWriter::AppendAsStored).
  std::unique_ptr<VORN_InMemoryFile> payloadScratch;
  bool singleBatch = false;
  // The whole batch went into its run as it loaded, already in order.
  bool written = false;
  // The batch ended with the input: the other threads have no batch to load,
  // so the sort of this one may take a helper thread.
  bool lastBatch = false;
  WorkFile* workFile = nullptr;  // owned by the Data
  Sequence* run = nullptr;  // the batch's run in the Data's queue, or null
  FileSort::SortStatistics stats{};
  Comparator comparator;
  isort::RecordOrder order;  // the comparator's order, faster
  isort::KeyWords words;     // the radix sort's view of the keys
};
