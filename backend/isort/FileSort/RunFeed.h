// isort::RunFeed: rows on their way into a run, written on a helper thread.
//
// A later batch whose rows come in order goes straight into its run as it
// loads (Sorter::FillBatch). On one thread, reading a row and writing it
// (both of its groups encoded) take turns while the other core waits for
// its turn to load. Once such a batch has gone on in order for a while, the
// loading thread copies each row into a small ring of chunks and a helper
// writes them: a batch of 4.7 million W1 rows in key order loads in 236-371
// ms against 328-562 ms on one thread (runs_bench BM_LoadBatchInOrder, 10
// rounds alternating).
//
// Where the batch ends follows from the bytes of the payload groups
// written, which only the helper learns; the loading thread does not wait
// for them row by row. Each row adds at most `rowBytesAtMost`, so
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

namespace isort {

class RunFeed {
 public:
  // Writes one row: its record (key part and tag unit, which it may change)
  // and its payload part; returns the bytes of the payload's group.
  using Write = std::function<std::uint64_t(OBS* record, const OBS* payload)>;

  // Whether a feed pays for rows of this many units: only beside a spare
  // core, and only where a chunk holds many rows.
  static bool Pays(std::size_t rowUnits);

  // A feed for at most `rows` rows. Throws std::bad_alloc.
  RunFeed(std::size_t recordUnits, std::size_t payloadUnits, std::uint64_t rowBytesAtMost,
          std::uint64_t rows, Write write);
  // Stops the helper after the chunk it is writing; rows not yet written are
  // dropped (see PayloadBytes).
  ~RunFeed();
  RunFeed(const RunFeed&) = delete;
  RunFeed& operator=(const RunFeed&) = delete;

  // Starts the helper; false, with nothing started, where the system has no
  // thread to spare.
  bool Start();
  // A copy of the row goes into the ring. Throws what writing threw.
  void Put(const OBS* record, const OBS* payload);
  // At least the bytes of the payload groups of every row put.
  std::uint64_t PayloadBytesAtMost() const {
    return loader_.reportedBytes + (loader_.rowsPut - loader_.reportedRows) * rowBytesAtMost_;
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
  // Helper side: the next published chunk, or null once the feed stops.
  OBS* NextChunk(std::size_t* rows);
  void Release(std::size_t rows, std::uint64_t bytes);

  OBS* Chunk(std::size_t index) const { return rows_.get() + index % kChunks * chunkUnits_; }

  const std::size_t recordUnits_;
  const std::size_t rowUnits_;
  const std::uint64_t rowBytesAtMost_;
  const std::size_t chunkRows_;
  const std::size_t chunkUnits_;
  const Write write_;
  std::unique_ptr<OBS[]> rows_;
  std::thread helper_;

  // The loading thread's own.
  struct alignas(kCacheLineBytes) Loader {
    std::size_t slotRow = 0;    // the next row in the chunk being filled
    std::size_t chunk = 0;      // the chunk being filled, counted from the start
    std::uint64_t rowsPut = 0;
    std::uint64_t reportedRows = 0;  // written, as the helper last reported
    std::uint64_t reportedBytes = 0;
  } loader_;

  alignas(kCacheLineBytes) std::mutex lock_;
  std::condition_variable changed_;
  std::size_t filled_[kChunks] = {};  // rows in each published chunk
  std::size_t published_ = 0;         // chunks, counted from the start
  std::size_t released_ = 0;
  std::uint64_t writtenRows_ = 0;
  std::uint64_t writtenBytes_ = 0;
  bool stopping_ = false;
  std::exception_ptr failure_;
};

}  // namespace isort
