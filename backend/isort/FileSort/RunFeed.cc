#include "FileSort/RunFeed.h"

#include <algorithm>
#include <utility>

#include "FileSort/CacheLines.h"
#include "FileSort/SpareCore.h"

namespace isort {
namespace {

// Chunks of 256 KiB, as RowPipe's; a feed for fewer rows has smaller ones.
constexpr std::size_t kChunkBytes = 256 * 1024;

}  // namespace

bool RunFeed::Pays(std::size_t rowUnits) {
  return rowUnits * sizeof(OBS) * 16 <= kChunkBytes && SpareCore();
}

RunFeed::RunFeed(std::size_t recordUnits, std::size_t payloadUnits,
                 std::uint64_t rowBytesAtMost, std::uint64_t rows, Write write)
    : recordUnits_(recordUnits),
      rowUnits_(recordUnits + payloadUnits),
      rowBytesAtMost_(rowBytesAtMost),
      chunkRows_(static_cast<std::size_t>(std::clamp<std::uint64_t>(
          (rows + kChunks - 1) / kChunks, 1, kChunkBytes / (rowUnits_ * sizeof(OBS))))),
      chunkUnits_(chunkRows_ * rowUnits_),
      write_(std::move(write)),
      rows_(new OBS[kChunks * chunkUnits_]) {}

RunFeed::~RunFeed() {
  {
    const std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (helper_.joinable()) helper_.join();
}

bool RunFeed::Start() {
  helper_ = StartHelper([this] { WriteChunks(); });
  return helper_.joinable();
}

void RunFeed::WriteChunks() {
  try {
    // A copy made here lies among this thread's allocations, away from the
    // loading thread's.
    const Write write = write_;
    std::size_t rows = 0;
    while (OBS* row = NextChunk(&rows)) {
      std::uint64_t bytes = 0;
      for (std::size_t i = 0; i < rows; ++i, row += rowUnits_) {
        bytes += write(row, row + recordUnits_);
      }
      Release(rows, bytes);
    }
  } catch (...) {
    {
      const std::lock_guard<std::mutex> hold(lock_);
      failure_ = std::current_exception();
    }
    changed_.notify_all();
  }
}

void RunFeed::Put(const OBS* record, const OBS* payload) {
  if (loader_.slotRow == 0) WaitForFreeChunk();
  OBS* slot = Chunk(loader_.chunk) + loader_.slotRow * rowUnits_;
  CopyPastCaches(slot, record, recordUnits_);
  CopyPastCaches(slot + recordUnits_, payload, rowUnits_ - recordUnits_);
  ++loader_.rowsPut;
  if (++loader_.slotRow == chunkRows_) Publish();
}

std::uint64_t RunFeed::PayloadBytes() {
  if (loader_.slotRow != 0) Publish();
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return failure_ || released_ == published_; });
  ThrowIfFailed();
  TakeReport();
  return writtenBytes_;
}

void RunFeed::WaitForFreeChunk() {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return failure_ || published_ - released_ < kChunks; });
  ThrowIfFailed();
  TakeReport();
}

void RunFeed::Publish() {
  FinishCopies();
  {
    const std::lock_guard<std::mutex> hold(lock_);
    ThrowIfFailed();
    filled_[published_ % kChunks] = loader_.slotRow;
    ++published_;
    TakeReport();
  }
  ++loader_.chunk;
  loader_.slotRow = 0;
  changed_.notify_all();
}

void RunFeed::TakeReport() {
  loader_.reportedRows = writtenRows_;
  loader_.reportedBytes = writtenBytes_;
}

void RunFeed::ThrowIfFailed() {
  if (failure_) std::rethrow_exception(failure_);
}

OBS* RunFeed::NextChunk(std::size_t* rows) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return stopping_ || released_ < published_; });
  if (stopping_) return nullptr;
  *rows = filled_[released_ % kChunks];
  return Chunk(released_);
}

void RunFeed::Release(std::size_t rows, std::uint64_t bytes) {
  {
    const std::lock_guard<std::mutex> hold(lock_);
    ++released_;
    writtenRows_ += rows;
    writtenBytes_ += bytes;
  }
  changed_.notify_all();
}

}  // namespace isort
