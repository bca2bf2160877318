#include "Spool.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Files.h"
#include "Memory.h"
#include "SortErrors.h"

namespace isort::app {
namespace {

// 4 MiB reads: few system calls, little memory beside the engine's budget.
constexpr std::size_t kBufferBytes = std::size_t{4} << 20;
constexpr std::size_t kHeaderBytes = 2 * sizeof(std::uint32_t);

}  // namespace

Spool::Spool(const std::string& directory, std::size_t keyCount)
    : file_(directory, "a work file"), keyCount_(keyCount), keys_(keyCount) {}

void Spool::Add(std::string_view raw, const std::string_view* values,
                const double* numbers) {
  constexpr std::size_t kLimit = Spool::kInline - 1;
  if (raw.size() > kLimit)
    throw CannotSort("a record of " + std::to_string(raw.size()) +
                     " bytes is too long to sort");
  const bool rawSkipped = raw.size() > kLoadedRawBytes;
  inline_.clear();
  for (std::size_t k = 0; k < keyCount_; ++k) {
    const std::string_view value = values[k];
    SpoolKey& key = keys_[k];
    key.number = numbers[k];
    key.length = static_cast<std::uint32_t>(value.size());
    // Compared as integers: the value may lie anywhere.
    const auto at = reinterpret_cast<std::uintptr_t>(value.data());
    const auto rawAt = reinterpret_cast<std::uintptr_t>(raw.data());
    if (!rawSkipped && at >= rawAt && at + value.size() <= rawAt + raw.size()) {
      key.where = static_cast<std::uint32_t>(at - rawAt);
    } else {
      key.where = kInline | static_cast<std::uint32_t>(inline_.size());
      inline_.append(value);
    }
  }
  const std::uint32_t header[2] = {static_cast<std::uint32_t>(raw.size()),
                                   static_cast<std::uint32_t>(inline_.size())};
  record_.assign(reinterpret_cast<const char*>(header), kHeaderBytes);
  record_.append(reinterpret_cast<const char*>(keys_.data()), keyCount_ * sizeof(SpoolKey));
  record_.append(inline_);
  file_.Append(record_);
  file_.Append(raw);
  if (record_.capacity() > kBufferBytes) {
    // A long record's values: the spool lives through the sort, its memory
    // is better left to the engine.
    std::string().swap(record_);
    std::string().swap(inline_);
    ReturnFreedMemory();
  }
}

void Spool::Rewind() {
  file_.Flush();
  buffer_.resize(kBufferBytes);
  bufferOffset_ = 0;
  position_ = held_ = 0;
  readKeys_.resize(keyCount_);
}

// Makes `size` bytes from position_ on available in buffer_; false when the
// file ends before.
bool Spool::Ensure(std::size_t size) {
  if (held_ - position_ >= size) return true;
  std::memmove(buffer_.data(), buffer_.data() + position_, held_ - position_);
  bufferOffset_ += position_;
  held_ -= position_;
  position_ = 0;
  if (size > buffer_.size()) buffer_.resize(size);
  while (held_ < size) {
    const std::uint64_t from = bufferOffset_ + held_;
    if (from >= file_.size()) return false;
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(buffer_.size() - held_, file_.size() - from));
    file_.ReadAt(from, want, buffer_.data() + held_);
    held_ += want;
  }
  return true;
}

void Spool::Skip(std::uint64_t size) {
  if (held_ - position_ >= size) {
    position_ += static_cast<std::size_t>(size);
    return;
  }
  bufferOffset_ += position_ + size;
  position_ = held_ = 0;
}

bool Spool::Next(SpoolRecord* record) {
  if (bufferOffset_ + position_ >= file_.size()) {
    std::vector<char>().swap(buffer_);  // read through: leave the memory to the engine
    return false;
  }
  if (buffer_.size() > kBufferBytes && held_ - position_ <= kBufferBytes) {
    // A long record grew the buffer: give the memory back once it is read.
    std::vector<char> smaller(kBufferBytes);
    std::memcpy(smaller.data(), buffer_.data() + position_, held_ - position_);
    bufferOffset_ += position_;
    held_ -= position_;
    position_ = 0;
    buffer_.swap(smaller);
    ReturnFreedMemory();
  }
  const std::size_t keyBytes = keyCount_ * sizeof(SpoolKey);
  if (!Ensure(kHeaderBytes + keyBytes)) throw CannotSort(file_.what() + " ends inside a record");
  std::uint32_t header[2];
  std::memcpy(header, buffer_.data() + position_, kHeaderBytes);
  const std::size_t meta = kHeaderBytes + keyBytes + header[1];
  const bool rawLoaded = header[0] <= kLoadedRawBytes;
  if (!Ensure(meta + (rawLoaded ? header[0] : 0))) {
    throw CannotSort(file_.what() + " ends inside a record");
  }
  const char* at = buffer_.data() + position_ + kHeaderBytes;
  std::memcpy(readKeys_.data(), at, keyBytes);
  at += keyBytes;
  record->keys = readKeys_.data();
  record->inlineBytes = at;
  record->rawLength = header[0];
  record->rawOffset = bufferOffset_ + position_ + meta;
  record->raw = rawLoaded ? std::string_view(at + header[1], header[0]) : std::string_view();
  position_ += meta;
  Skip(header[0]);
  return true;
}

}  // namespace isort::app
