// isort::RunFeed: rows on their way into a run, written on a helper thread.
//
// A later batch whose rows come in order goes straight into its run as it
// loads (Sorter::FillBatch). On one thread, reading a row and writing it
// (both of its groups encoded) take turns while the other core waits for
// its turn to load. Once such a batch has gone on in order for a while, the
// loading thread encodes each row's record as a group and passes it, with a
// copy of the row's payload, through a small ring of chunks to a helper,
// which appends both to the run, the payload encoded there: encoding is the
// bulk of the work, and so split it keeps both threads busy. A batch of 4.7
// million W1 rows in key order, copied out of a buffer (runs_bench
// BM_LoadBatchInOrder, 4 rounds alternating): 185-191 ms against 236-243 ms
// with both groups encoded on the helper, and 287-290 ms on one thread.
// The records are encoded into a stream of the loading thread's own and
// reach the ring by streaming stores, as the payloads do: encoded straight
// into streams in the ring, whose cache lines then went back and forth
// between the cores, the load took 256-278 ms.
//
// Where the batch ends follows from the bytes of the payload groups
// written, which only the helper learns; the loading thread does not wait
// for them row by row. Each row adds at most `atMost.payload`, so
// PayloadBytesAtMost bounds the bytes from what the helper last reported;
// only once that bound reaches the batch's limit does the loading thread
// need the exact figure (PayloadBytes).
//
// Failures keep their roads: what writing throws on the helper stops it and
// is thrown on the loading thread at its next chunk or at PayloadBytes; a
// failure of the loading thread destroys the feed, which stops the helper
// after the chunk it is writing and drops the rows still in the ring.
//
// What each thread writes for every row lies on cache lines of its own:
// sharing one with what the other thread read for every row made the load
// above take 806-888 ms.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "FileSort/CacheLines.h"
#include "isort/types.h"
#include "vorn/Streams.h"

namespace isort {

class RunFeed {
 public:
  // Encodes one row's record (key part and tag unit, which it may change) as
  // a group onto `to`; on the loading thread.
  using Encode = std::function<void(OBS* record, VORN_StrBaseIO& to)>;
  // Writes one row: its record, the group at the position of `records`, and
  // its payload part; returns the bytes of the payload's group. On the
  // helper.
  using Write = std::function<std::uint64_t(VORN_StrBaseIO& records, const OBS* payload)>;

  // Whether a feed pays for rows of this many units: only beside a spare
  // core, and only where a chunk holds many rows.
  static bool Pays(std::size_t rowUnits);

  // The most bytes that a record's group and a payload's group take.
  struct GroupBytes {
    std::uint64_t record;
    std::uint64_t payload;
  };

  // A feed for at most `rows` rows. Throws std::bad_alloc.
  RunFeed(std::size_t recordUnits, std::size_t payloadUnits, GroupBytes atMost,
          std::uint64_t rows, Encode encode, Write write);
  // Stops the helper after the chunk it is writing; rows not yet written are
  // dropped (see PayloadBytes).
  ~RunFeed();
  RunFeed(const RunFeed&) = delete;
  RunFeed& operator=(const RunFeed&) = delete;

  // Starts the helper; false, with nothing started, where the system has no
  // thread to spare.
  bool Start();
  // The row goes into the ring: its record encoded, its payload copied.
  // Throws what encoding or writing threw.
  void Put(OBS* record, const OBS* payload);
  // At least the bytes of the payload groups of every row put.
  std::uint64_t PayloadBytesAtMost() const {
    return loader_.reportedBytes + (loader_.rowsPut - loader_.reportedRows) * atMost_.payload;
  }
  // Waits until every row put is written; returns the bytes of their payload
  // groups. Throws what writing threw.
  std::uint64_t PayloadBytes();

 private:
  static constexpr std::size_t kChunks = 4;

  // The helper's loop.
  void WriteChunks();
  // Loading side.
  void WaitForFreeChunk();
  void Publish();
  void TakeReport();       // with the lock held
  void ThrowIfFailed();    // with the lock held
  // Helper side: the next published chunk (counted from the start); false
  // once the feed stops.
  bool NextChunk(std::size_t* chunk, std::size_t* rows, std::size_t* recordBytes);
  void Release(std::size_t rows, std::uint64_t bytes);

  // A chunk holds chunkRows_ payloads, then its records' groups end to end.
  OBS* Chunk(std::size_t chunk) const { return ring_.get() + chunk % kChunks * chunkUnits_; }
  OBS* Records(std::size_t chunk) const { return Chunk(chunk) + chunkRows_ * payloadUnits_; }

  const std::size_t payloadUnits_;
  const GroupBytes atMost_;
  const std::size_t chunkRows_;
  const std::size_t recordsUnits_;  // room for a chunk's records' groups
  const std::size_t chunkUnits_;
  const Encode encode_;
  const Write write_;
  std::unique_ptr<OBS[]> ring_;
  std::thread helper_;

  // The loading thread's own.
  struct alignas(kCacheLineBytes) Loader {
    std::size_t slotRow = 0;    // the next row in the chunk being filled
    std::size_t chunk = 0;      // the chunk being filled, counted from the start
    std::uint64_t rowsPut = 0;
    std::uint64_t reportedRows = 0;  // written, as the helper last reported
    std::uint64_t reportedBytes = 0;
    std::unique_ptr<VORN_InMemoryFile> records;  // the chunk's records' groups
    std::unique_ptr<OBS[]> staged;               // the same, read back for the ring
  } loader_;

  alignas(kCacheLineBytes) std::mutex lock_;
  std::condition_variable changed_;
  std::size_t filled_[kChunks] = {};  // rows in each published chunk
  std::size_t recordBytes_[kChunks] = {};
  std::size_t published_ = 0;         // chunks, counted from the start
  std::size_t released_ = 0;
  std::uint64_t writtenRows_ = 0;
  std::uint64_t writtenBytes_ = 0;
  bool stopping_ = false;
  std::exception_ptr failure_;
};

}  // namespace isort
