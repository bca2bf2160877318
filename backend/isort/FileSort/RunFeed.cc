#include "FileSort/RunFeed.h"

#include <algorithm>
#include <utility>

#include "FileSort/CacheLines.h"
#include "FileSort/SpareCore.h"

namespace isort {
namespace {

// Chunks of 256 KiB, as RowPipe's; a feed for fewer rows has smaller ones.
constexpr std::size_t kChunkBytes = 256 * 1024;

std::uint64_t UnitsFor(std::uint64_t bytes) { return (bytes + sizeof(OBS) - 1) / sizeof(OBS); }

}  // namespace

bool RunFeed::Pays(std::size_t rowUnits) {
  return rowUnits * sizeof(OBS) * 16 <= kChunkBytes && SpareCore();
}

RunFeed::RunFeed(std::size_t recordUnits, std::size_t payloadUnits, GroupBytes atMost,
                 std::uint64_t rows, Encode encode, Write write)
    : payloadUnits_(payloadUnits),
      atMost_(atMost),
      chunkRows_(static_cast<std::size_t>(
          std::clamp<std::uint64_t>((rows + kChunks - 1) / kChunks, 1,
                                    kChunkBytes / ((recordUnits + payloadUnits) * sizeof(OBS))))),
      recordsUnits_(static_cast<std::size_t>(UnitsFor(chunkRows_ * atMost.record))),
      chunkUnits_(chunkRows_ * payloadUnits + recordsUnits_),
      encode_(std::move(encode)),
      write_(std::move(write)),
      ring_(new OBS[kChunks * chunkUnits_]) {
  loader_.records = std::make_unique<VORN_InMemoryFile>(recordsUnits_ * sizeof(OBS));
  loader_.staged.reset(new OBS[recordsUnits_]);
}

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
    // The chunk's records' groups, moved into a stream of this thread's own.
    VORN_InMemoryFile records(recordsUnits_ * sizeof(OBS));
    std::size_t chunk = 0;
    std::size_t rows = 0;
    std::size_t recordBytes = 0;
    while (NextChunk(&chunk, &rows, &recordBytes)) {
      records.Seek(0, VORN_StrBaseIO::FromStart);
      records.Write(Records(chunk), recordBytes);
      records.Seek(0, VORN_StrBaseIO::FromStart);
      const OBS* payload = Chunk(chunk);
      std::uint64_t bytes = 0;
      for (std::size_t i = 0; i < rows; ++i, payload += payloadUnits_) {
        bytes += write(records, payload);
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

void RunFeed::Put(OBS* record, const OBS* payload) {
  if (loader_.slotRow == 0) WaitForFreeChunk();
  encode_(record, *loader_.records);
  CopyPastCaches(Chunk(loader_.chunk) + loader_.slotRow * payloadUnits_, payload, payloadUnits_);
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
  VORN_InMemoryFile& records = *loader_.records;
  const auto recordBytes = static_cast<std::size_t>(records.Tell());
  records.Seek(0, VORN_StrBaseIO::FromStart);
  records.Read(loader_.staged.get(), recordBytes);
  records.Seek(0, VORN_StrBaseIO::FromStart);
  CopyPastCaches(Records(loader_.chunk), loader_.staged.get(),
                 static_cast<std::size_t>(UnitsFor(recordBytes)));
  FinishCopies();
  {
    const std::lock_guard<std::mutex> hold(lock_);
    ThrowIfFailed();
    filled_[published_ % kChunks] = loader_.slotRow;
    recordBytes_[published_ % kChunks] = recordBytes;
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

bool RunFeed::NextChunk(std::size_t* chunk, std::size_t* rows, std::size_t* recordBytes) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return stopping_ || released_ < published_; });
  if (stopping_) return false;
  *chunk = released_;
  *rows = filled_[released_ % kChunks];
  *recordBytes = recordBytes_[released_ % kChunks];
  return true;
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
