#include "FileSort/RowPipe.h"

#include <algorithm>

#include "FileSort/CacheLines.h"

namespace isort {
namespace {

// 256 KiB chunks, 1 MiB in all: rows pass from one core to the other through
// memory (CopyPastCaches). The final merge of W1 in key order from a file (3
// runs, two sorts each): 508-552 ms against 793-801 ms on one thread; chunks
// of 64 KiB 554-602 ms, 1 MiB 512-528 ms.
constexpr std::size_t kChunkBytes = 256 * 1024;

}  // namespace

bool RowPipe::Pays(std::size_t rowUnits) {
  return rowUnits * sizeof(OBS) <= kChunkBytes && SpareCore();
}

RowPipe::RowPipe(std::size_t firstUnits, std::size_t secondUnits)
    : firstUnits_(firstUnits),
      rowUnits_(firstUnits + secondUnits),
      chunkRows_(std::max<std::size_t>(1, kChunkBytes / (rowUnits_ * sizeof(OBS)))),
      chunkUnits_(chunkRows_ * rowUnits_),
      rows_(new OBS[kChunks * chunkUnits_]) {}

void RowPipe::Put(const OBS* first, const OBS* second) {
  if (slotRow_ == 0) WaitForFreeChunk();
  OBS* slot = Chunk(published_) + slotRow_ * rowUnits_;
  CopyPastCaches(slot, first, firstUnits_);
  CopyPastCaches(slot + firstUnits_, second, rowUnits_ - firstUnits_);
  if (++slotRow_ == chunkRows_) Publish();
}

void RowPipe::WaitForFreeChunk() {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return abandoned_ || published_ - released_ < kChunks; });
  if (abandoned_) throw Abandoned{};
}

void RowPipe::Publish() {
  FinishCopies();
  {
    const std::lock_guard<std::mutex> hold(lock_);
    filled_[published_ % kChunks] = slotRow_;
    ++published_;
  }
  slotRow_ = 0;
  changed_.notify_all();
}

void RowPipe::Close(std::exception_ptr failure) {
  if (slotRow_ != 0) Publish();
  {
    const std::lock_guard<std::mutex> hold(lock_);
    closed_ = true;
    failure_ = std::move(failure);
  }
  changed_.notify_all();
}

const OBS* RowPipe::NextChunk(std::size_t* rows, bool wait) {
  std::unique_lock<std::mutex> hold(lock_);
  if (wait) changed_.wait(hold, [this] { return released_ < published_ || closed_; });
  if (released_ == published_) return nullptr;
  *rows = filled_[released_ % kChunks];
  return Chunk(released_);
}

void RowPipe::Release() {
  {
    const std::lock_guard<std::mutex> hold(lock_);
    ++released_;
  }
  changed_.notify_all();
}

bool RowPipe::Ended() {
  const std::lock_guard<std::mutex> hold(lock_);
  return closed_ && released_ == published_;
}

void RowPipe::Abandon() {
  {
    const std::lock_guard<std::mutex> hold(lock_);
    abandoned_ = true;
  }
  changed_.notify_all();
}

}  // namespace isort
