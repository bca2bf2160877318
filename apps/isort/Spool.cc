#include "Spool.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Files.h"
#include "SortErrors.h"

namespace isort::app {
namespace {

// 4 MiB buffers: few system calls, little memory beside the engine's budget.
constexpr std::size_t kBufferBytes = std::size_t{4} << 20;
constexpr std::size_t kHeaderBytes = 2 * sizeof(std::uint32_t);

}  // namespace

Spool::Spool(const std::string& directory, std::size_t keyCount)
    : what_("the work file in " + directory),
      keyCount_(keyCount),
      buffer_(kBufferBytes),
      keys_(keyCount) {
  descriptor_ = OpenUnnamedFile(directory, "a work file");
}

Spool::~Spool() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

void Spool::Append(const void* bytes, std::size_t size) {
  if (buffer_.size() - used_ < size) {
    Flush();
    if (size > buffer_.size()) {
      WriteAll(descriptor_, static_cast<const char*>(bytes), size, what_);
      return;
    }
  }
  std::memcpy(buffer_.data() + used_, bytes, size);
  used_ += size;
}

void Spool::Flush() {
  WriteAll(descriptor_, buffer_.data(), used_, what_);
  used_ = 0;
}

void Spool::Add(std::string_view raw, const std::string_view* values,
                const double* numbers) {
  constexpr std::size_t kLimit = Spool::kInline - 1;
  if (raw.size() > kLimit)
    throw CannotSort("a record of " + std::to_string(raw.size()) +
                     " bytes is too long to sort");
  inline_.clear();
  for (std::size_t k = 0; k < keyCount_; ++k) {
    const std::string_view value = values[k];
    SpoolKey& key = keys_[k];
    key.number = numbers[k];
    key.length = static_cast<std::uint32_t>(value.size());
    // Compared as integers: the value may lie anywhere.
    const auto at = reinterpret_cast<std::uintptr_t>(value.data());
    const auto rawAt = reinterpret_cast<std::uintptr_t>(raw.data());
    if (at >= rawAt && at + value.size() <= rawAt + raw.size()) {
      key.where = static_cast<std::uint32_t>(at - rawAt);
    } else {
      key.where = kInline | static_cast<std::uint32_t>(inline_.size());
      inline_.append(value);
    }
  }
  const std::uint32_t header[2] = {static_cast<std::uint32_t>(raw.size()),
                                   static_cast<std::uint32_t>(inline_.size())};
  const std::size_t total =
      kHeaderBytes + keyCount_ * sizeof(SpoolKey) + raw.size() + inline_.size();
  if (buffer_.size() - used_ >= total) {
    // The usual case, one copy per piece straight into the buffer.
    char* out = buffer_.data() + used_;
    std::memcpy(out, header, kHeaderBytes);
    out += kHeaderBytes;
    std::memcpy(out, keys_.data(), keyCount_ * sizeof(SpoolKey));
    out += keyCount_ * sizeof(SpoolKey);
    std::memcpy(out, raw.data(), raw.size());
    out += raw.size();
    std::memcpy(out, inline_.data(), inline_.size());
    used_ += total;
  } else {
    Append(header, kHeaderBytes);
    Append(keys_.data(), keyCount_ * sizeof(SpoolKey));
    Append(raw.data(), raw.size());
    Append(inline_.data(), inline_.size());
  }
  bytes_ += total;
}

void Spool::Rewind() {
  Flush();
  if (::lseek(descriptor_, 0, SEEK_SET) != 0) {
    throw CannotSort("cannot seek in " + what_ + ": " + SystemReason(errno));
  }
  position_ = held_ = 0;
  atEnd_ = false;
}

// Makes `size` bytes from position_ on available in buffer_; false at the
// end of the file.
bool Spool::Ensure(std::size_t size) {
  if (held_ - position_ >= size) return true;
  if (atEnd_) return false;
  std::memmove(buffer_.data(), buffer_.data() + position_, held_ - position_);
  held_ -= position_;
  position_ = 0;
  if (size > buffer_.size()) buffer_.resize(size);
  while (held_ < size) {
    const std::size_t got =
        ReadFully(descriptor_, buffer_.data() + held_, buffer_.size() - held_, what_);
    held_ += got;
    if (got == 0) {
      atEnd_ = true;
      return false;
    }
  }
  return true;
}

bool Spool::Next(SpoolRecord* record) {
  if (!Ensure(kHeaderBytes)) {
    if (held_ != position_) throw CannotSort(what_ + " ends inside a record");
    return false;
  }
  std::uint32_t header[2];
  std::memcpy(header, buffer_.data() + position_, kHeaderBytes);
  const std::size_t keyBytes = keyCount_ * sizeof(SpoolKey);
  const std::size_t total = kHeaderBytes + keyBytes + header[0] + header[1];
  if (!Ensure(total)) throw CannotSort(what_ + " ends inside a record");
  const char* at = buffer_.data() + position_ + kHeaderBytes;
  std::memcpy(keys_.data(), at, keyBytes);
  at += keyBytes;
  record->raw = std::string_view(at, header[0]);
  record->keys = keys_.data();
  record->inlineBytes = at + header[0];
  position_ += total;
  return true;
}

}  // namespace isort::app
