// isort::RowPipe: rows made on a helper thread, delivered on the calling
// thread.
//
// Delivering the sorted rows (the final merge pass, or the one batch of an
// input that fits in memory) does two things for every row: the engine's
// work (decode the runs' groups, the heap, join key part and payload) and the
// host's (PutRow). On one thread they take turns; with W1 from a file each is
// about half of the final pass. So while the calling thread hands rows to
// PutRow, a helper makes the next ones into a small ring of chunks: the final
// merge of W1 takes 508-552 ms against 793-801 ms on one thread, W3's one
// batch is delivered in 56-64 ms against 79-83. The heap and its comparisons
// are the same as on one thread, and so is the order; PutRow is called on
// the calling thread only, one row at a time, as before.
//
// A row passes in two parts (key part and payload), which the calling thread
// joins: the helper, which decodes, is the busier of the two. The final
// merge of W1 (runs_bench, a sink that copies each row; 5 rounds
// alternating) takes 507-534 ms against 570-583 ms with the helper joining.
// Going further, with the helper copying each payload group undecoded into
// a stream of the chunk for the calling thread to decode, made W1's final
// merge from a file slower (4 rounds alternating: 613-653 ms against 467-491),
// although the helper had been the one the other waited for: the groups'
// bytes, written with ordinary stores, each crossed from core to core.
//
// Failures keep their roads: what the merge throws on the helper is thrown on
// the calling thread after every row merged before it has been delivered, as
// on one thread; what PutRow throws stops the helper and passes on.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "FileSort/CacheLines.h"
#include "FileSort/SpareCore.h"
#include "isort/types.h"

namespace isort {

class RowPipe {
 public:
  // Calls `produceEach(handOn)`, which hands every row, in order, to
  // `handOn(first, second)` as its first part of `firstUnits` units and its
  // second of `secondUnits`, and has each row reach `deliver(first, second)`
  // on this thread: through a pipe where one pays, else directly. This
  // thread calls `sideWork()` (which answers whether there is more of it)
  // while no rows are waiting, and does all of it before it makes rows
  // itself; so the rows may wait for the side work to be done.
  template <typename ProduceEach, typename Deliver, typename SideWork>
  static void HandOver(std::size_t firstUnits, std::size_t secondUnits, ProduceEach produceEach,
                       Deliver deliver, SideWork sideWork);
  template <typename ProduceEach, typename Deliver>
  static void HandOver(std::size_t firstUnits, std::size_t secondUnits, ProduceEach produceEach,
                       Deliver deliver) {
    HandOver(firstUnits, secondUnits, produceEach, deliver, [] { return false; });
  }

  // Whether rows of `rowUnits` units go through a pipe: only a machine with
  // a second core gains, and a row larger than a chunk would have the ring
  // hold several copies of a huge row.
  static bool Pays(std::size_t rowUnits);

  // A ring of chunks of rows of `firstUnits` + `secondUnits` units. Throws
  // std::bad_alloc.
  explicit RowPipe(std::size_t firstUnits, std::size_t secondUnits = 0);
  RowPipe(const RowPipe&) = delete;
  RowPipe& operator=(const RowPipe&) = delete;

  // Runs `produce(pipe)` on a helper thread, which hands rows to Put, and
  // hands every row it put, in order, to `deliver(row)` on this thread (its
  // two parts one after the other), which does `sideWork` (see HandOver)
  // while no rows wait, and all of it before the helper is joined. Returns
  // when the helper has ended; throws what `deliver` throws (the helper
  // stopped) or else, after the last row put, what `produce` threw. False,
  // with nothing done, when the system has no thread to spare.
  template <typename Produce, typename Deliver, typename SideWork>
  bool Run(Produce produce, Deliver deliver, SideWork sideWork);
  template <typename Produce, typename Deliver>
  bool Run(Produce produce, Deliver deliver) {
    return Run(produce, deliver, [] { return false; });
  }

  // For the producer: a copy of the row's two parts goes into the pipe.
  void Put(const OBS* first, const OBS* second = nullptr);

 private:
  static constexpr std::size_t kChunks = 4;

  // Thrown on the helper when the calling thread has given up.
  struct Abandoned {};

  // Producer side.
  void WaitForFreeChunk();
  void Publish();
  void Close(std::exception_ptr failure);
  // Consumer side: the next published chunk and its rows, or null at the
  // end, or (unless `wait`) while none is published.
  const OBS* NextChunk(std::size_t* rows, bool wait);
  void Release();
  void Abandon();
  // Whether the producer has ended and every chunk it published is released.
  bool Ended();

  OBS* Chunk(std::size_t index) const { return rows_.get() + index % kChunks * chunkUnits_; }

  const std::size_t firstUnits_;
  const std::size_t rowUnits_;
  const std::size_t chunkRows_;
  const std::size_t chunkUnits_;
  std::unique_ptr<OBS[]> rows_;
  std::size_t filled_[kChunks] = {};
  // The producer's next row in its chunk, written at every row, on a cache
  // line away from what the calling thread reads at every row.
  alignas(kCacheLineBytes) std::size_t slotRow_ = 0;

  std::mutex lock_;
  std::condition_variable changed_;
  std::size_t published_ = 0;  // chunks, counted from the start
  std::size_t released_ = 0;
  bool closed_ = false;
  bool abandoned_ = false;
  std::exception_ptr failure_;
};

template <typename Produce, typename Deliver, typename SideWork>
bool RowPipe::Run(Produce produce, Deliver deliver, SideWork sideWork) {
  std::thread helper = StartHelper([this, &produce] {
    std::exception_ptr failure;
    try {
      produce(*this);
    } catch (const Abandoned&) {
    } catch (...) {
      failure = std::current_exception();
    }
    Close(failure);
  });
  if (!helper.joinable()) return false;
  bool sideWorkLeft = true;
  try {
    std::size_t rows = 0;
    for (;;) {
      const OBS* row = NextChunk(&rows, !sideWorkLeft);
      if (row == nullptr) {
        if (!sideWorkLeft || Ended()) break;
        sideWorkLeft = sideWork();
        continue;
      }
      for (std::size_t i = 0; i < rows; ++i, row += rowUnits_) deliver(row);
      Release();
    }
  } catch (...) {
    Abandon();
    // The helper may be waiting for it.
    while (sideWorkLeft) sideWorkLeft = sideWork();
    helper.join();
    throw;
  }
  helper.join();
  if (failure_) std::rethrow_exception(failure_);
  return true;
}

template <typename ProduceEach, typename Deliver, typename SideWork>
void RowPipe::HandOver(std::size_t firstUnits, std::size_t secondUnits, ProduceEach produceEach,
                       Deliver deliver, SideWork sideWork) {
  if (Pays(firstUnits + secondUnits)) {
    RowPipe pipe(firstUnits, secondUnits);
    const auto intoPipe = [&produceEach](RowPipe& into) {
      produceEach([&into](const OBS* first, const OBS* second) { into.Put(first, second); });
    };
    const auto fromPipe = [&deliver, firstUnits](const OBS* row) {
      deliver(row, row + firstUnits);
    };
    if (pipe.Run(intoPipe, fromPipe, sideWork)) return;
  }
  while (sideWork()) {
  }
  produceEach(deliver);
}

}  // namespace isort
