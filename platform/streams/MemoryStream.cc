// VORN_StrBaseIO and VORN_InMemoryFile: a stream whose bytes live in memory.
//
// The base stream keeps its bytes in a MemoryArea that it creates at its
// first write; VORN_InMemoryFile reserves the expected size up front. The
// window spans the whole area: [origin, origin + size) can be read and
// [origin, origin + capacity) written, so the codec works in place for every
// group but the one that crosses the reserve. Writes through the window move
// the cursor past the recorded size; every virtual call first takes the size
// up to the cursor.
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "streams/MemoryArea.h"
#include "streams/StreamAccess.h"
#include "vorn/Streams.h"

namespace isort::platform::streams {
namespace {

using Access = StreamAccess;

// Takes the recorded size up to the furthest byte written through the window
// and makes everything up to it readable.
void SyncSize(VORN_StrBaseIO& stream) {
  MemoryArea* area = Access::Memory(stream).get();
  if (area == nullptr) return;
  const std::size_t position = Access::CursorOffset(stream);
  if (position > area->Size()) area->SetSize(position);
  Access::ReadLimit(stream) = Access::Origin(stream) + area->Size();
}

// Points the window at the area, keeping the position.
void Rebase(VORN_StrBaseIO& stream, std::size_t position) {
  MemoryArea& area = *Access::Memory(stream);
  unsigned char* origin = area.Data();
  Access::SetWindow(stream, origin, origin + position, origin + area.Size(),
                    origin + area.Capacity());
}

// Makes the area hold at least `bytes`, creating it for a plain stream.
void ReserveMemory(VORN_StrBaseIO& stream, std::size_t bytes) {
  auto& area = Access::Memory(stream);
  const std::size_t position = Access::CursorOffset(stream);
  if (!area) {
    area = std::make_unique<MemoryArea>(bytes);
  } else if (bytes > area->Capacity()) {
    area->Reserve(bytes);
  } else {
    return;
  }
  Rebase(stream, position);
}

[[noreturn]] void FailSeek(long target) {
  throw ErrorText("cannot seek in stream in memory to byte " + std::to_string(target) +
                      ": " + std::strerror(EINVAL),
                  ErrorText::kFileSeek, EINVAL);
}

}  // namespace
}  // namespace isort::platform::streams

using isort::platform::streams::MemoryArea;
using isort::platform::streams::StreamAccess;
namespace memory = isort::platform::streams;

VORN_StrBaseIO::VORN_StrBaseIO() = default;

VORN_StrBaseIO::~VORN_StrBaseIO() = default;

void VORN_StrBaseIO::Clear() { atEnd_ = false; }

bool VORN_StrBaseIO::Good() { return !atEnd_; }

bool VORN_StrBaseIO::EndOfFile() { return atEnd_; }

long VORN_StrBaseIO::Tell() const { return static_cast<long>(cursor_ - origin_); }

unsigned long VORN_StrBaseIO::Read(void* buffer, unsigned long bytes) {
  memory::SyncSize(*this);
  const std::size_t available = StreamAccess::Readable(*this);
  const std::size_t taken = bytes < available ? bytes : available;
  if (taken > 0) std::memcpy(buffer, cursor_, taken);
  cursor_ += taken;
  if (taken < bytes) atEnd_ = true;
  return taken;
}

unsigned long VORN_StrBaseIO::Write(const void* buffer, unsigned long bytes) {
  if (bytes == 0) return 0;
  memory::ReserveMemory(*this, StreamAccess::CursorOffset(*this) + bytes);
  std::memcpy(cursor_, buffer, bytes);
  cursor_ += bytes;
  memory::SyncSize(*this);
  return bytes;
}

void VORN_StrBaseIO::Seek(long offset, SeekDirection direction) {
  memory::SyncSize(*this);
  long target = offset;
  if (direction == FromCurrent) target += Tell();
  if (direction == FromEnd) target += memory_ ? static_cast<long>(memory_->Size()) : 0;
  if (target < 0) memory::FailSeek(target);
  // A position past the end is allowed; the gap reads as zeros once written.
  const auto position = static_cast<std::size_t>(target);
  if (position > 0) memory::ReserveMemory(*this, position);
  cursor_ = origin_ + position;
  atEnd_ = false;
}

VORN_InMemoryFile::VORN_InMemoryFile(unsigned long expectedBytes) {
  // The last row of a batch may carry the store a little past the estimate:
  // a slack of 1/16 and 64 KiB keeps that from remapping. Untouched reserve
  // costs only address space.
  constexpr std::size_t kLargestHint = std::size_t{1} << 48;  // beyond any machine
  const std::size_t expected = expectedBytes < kLargestHint ? expectedBytes : kLargestHint;
  const std::size_t reserve = expected + expected / 16 + 64 * 1024;
  auto& area = StreamAccess::Memory(*this);
  area = std::make_unique<MemoryArea>(reserve);
  unsigned char* origin = area->Data();
  StreamAccess::SetWindow(*this, origin, origin, origin, origin + area->Capacity());
}

VORN_InMemoryFile::~VORN_InMemoryFile() = default;

const void* VORN_InMemoryAddress(const VORN_InMemoryFile& stream, long offset) {
  return StreamAccess::Origin(stream) + offset;
}
