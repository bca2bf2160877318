// Work files, runs and run readers.
//
// Run format. A run is the byte range [start, end) of a work file. For each
// row, in sorted order, it holds:
//   1. one compressed group of keyUnits + 1 units: the key part in key order,
//      then the tag unit;
//   2. when payloadUnits is not 0, one compressed group of payloadUnits units:
//      the payload part.
// There is no header, count or terminator; the run's end is known only from
// `end`. In a run the tag unit holds the run tag, the double T - 99, where T is
// the ordinal of the batch in which the row was loaded; a reader turns it back
// into the integer T, and a merge pass writes T - 99 again, so a row's tag
// never changes from pass to pass. The offset makes the tags of the first 251
// batches the small integers -99 .. 151 that the host's byte codes hold in one
// byte each (and that our stream codec stores in one or two bytes).
//
// RunWriter writes this format and SeqReader reads it; nothing else does.
#pragma once

#include <cstdint>
#include <memory>

#include "FileSort/CacheLines.h"
#include "isort/FileSort.h"
#include "vorn/Streams.h"

// A temporary file holding runs: "sort" files (one per sorting thread) and
// "merge" files (one per merge pass). Each handle takes cache lines of its
// own: a RunFeed's helper moves its position at every group while the
// loading thread writes its own objects at every row.
class ISORT_NO_EXPORT FileSort::WorkFile : public VORN_TempFile {
 public:
  explicit WorkFile(const char* prefix);
  // A second handle on the same file, with its own position.
  WorkFile(const WorkFile& other);
  ~WorkFile() override;

 private:
  struct alignas(isort::kCacheLineBytes) Line {};
  Line lineOfItsOwn_;  // aligns the handle to a cache line
};

// One run. Copies are shallow; only Sequences that do not own their file are
// copied. Each takes a cache line of its own: two sorters write the `end` of
// their runs, which lie side by side in the Data's queue, at every group.
// Two parts sorting and writing W1 batches of 4.7 million rows at once
// (runs_bench BM_ProcessTwoBatches, 5 rounds alternating): 677-782 ms
// against 771-812 ms with runs sharing a line.
class ISORT_NO_EXPORT FileSort::Sequence {
 public:
  // A run that begins (and so far ends) at the current position of `file`.
  explicit Sequence(WorkFile* file);
  Sequence(const Sequence& other) = default;
  Sequence& operator=(const Sequence&) = delete;
  ~Sequence();

  // The run's length in bytes.
  std::int64_t Size() const { return end - start; }

  // Appends one group of `n` units to the run.
  void WriteCompressed(const OBS* units, unsigned int n);
  // Appends the group of `n` units at the position of `from`, undecoded.
  void CopyPrecompressed(VORN_StrBaseIO& from, unsigned int n);
  // Opens a private handle on the run's file and seeks it to the run's start.
  void Rewind();
  // Reads the run's next group of `n` units; false at the run's end. Only
  // for a rewound run.
  bool ReadCompressed(OBS* units, unsigned int n);

  alignas(isort::kCacheLineBytes) std::int64_t start;
  std::int64_t end;
  WorkFile* file;
  bool ownsFile;
};

// Reads a run row by row, holding the current row's key part (with its tag as
// the integer batch ordinal) and payload.
class ISORT_NO_EXPORT FileSort::SeqReader : public FileSort::Sequence {
 public:
  explicit SeqReader(const Sequence& run);
  SeqReader(const SeqReader&) = delete;
  SeqReader& operator=(const SeqReader&) = delete;
  ~SeqReader();

  void Allocate(unsigned int keyUnits, unsigned int payloadUnits);
  // Loads the next row; false when the run is exhausted.
  bool Read();

  unsigned int keyUnits;
  unsigned int payloadUnits;
  std::unique_ptr<OBS[]> key;      // keyUnits + 1 units
  std::unique_ptr<OBS[]> payload;  // payloadUnits units; absent when 0
};

namespace isort {

// Appends rows to a run in the run format.
class RunWriter {
 public:
  RunWriter(FileSort::Sequence& run, unsigned int keyUnits, unsigned int payloadUnits)
      : run_(run), keyUnits_(keyUnits), payloadUnits_(payloadUnits) {}

  // Appends one row: `record` is its key part followed by its tag unit, which
  // is overwritten with the run tag of batch `batch`; `payload` is its payload
  // part, encoded anew. Returns the bytes of the payload's group.
  std::uint64_t Append(OBS* record, std::uint64_t batch, const OBS* payload);
  // The same, with the payload taken as the compressed group at the position
  // of `payloads`, copied undecoded.
  void AppendPrecompressed(OBS* record, std::uint64_t batch, VORN_StrBaseIO& payloads);
  // Append for a row that goes into its run as it loads: the payload's group
  // is the one a batch's store would hold, encoded into `scratch` (a stream
  // in memory) and copied from there, and its bytes, returned, are the ones
  // that decide where the batch ends. A file may keep small groups in
  // another form than memory does (streams/GroupFormat.h).
  std::uint64_t AppendAsStored(OBS* record, std::uint64_t batch, const OBS* payload,
                               VORN_StrBaseIO& scratch);

 private:
  void AppendRecord(OBS* record, std::uint64_t batch);

  FileSort::Sequence& run_;
  unsigned int keyUnits_;
  unsigned int payloadUnits_;
};

}  // namespace isort
