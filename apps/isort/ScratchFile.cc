#include "ScratchFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Files.h"
#include "SortErrors.h"

namespace isort::app {
namespace {

// 4 MiB buffers: few system calls, little memory beside the engine's budget.
constexpr std::size_t kBufferBytes = std::size_t{4} << 20;

}  // namespace

ScratchFile::ScratchFile(const std::string& directory, const std::string& what)
    : what_(what + " in " + directory) {
  descriptor_ = OpenUnnamedFile(directory, what);
}

ScratchFile::~ScratchFile() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

std::uint64_t ScratchFile::Append(std::string_view bytes) {
  const std::uint64_t at = size_;
  if (bytes.empty()) return at;
  size_ += bytes.size();
  if (buffer_.size() - used_ < bytes.size()) {
    Flush();
    if (bytes.size() >= kBufferBytes) {
      WriteAll(descriptor_, bytes.data(), bytes.size(), what_);
      return at;
    }
    if (buffer_.empty()) buffer_.resize(kBufferBytes);
  }
  std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
  used_ += bytes.size();
  return at;
}

void ScratchFile::Flush() {
  WriteAll(descriptor_, buffer_.data(), used_, what_);
  used_ = 0;
  // Appends are over for a while (a spool is read back whole first): the
  // buffer's memory is better left to the engine.
  std::vector<char>().swap(buffer_);
}

void ScratchFile::ReadAt(std::uint64_t offset, std::size_t size, char* out) const {
  while (size > 0) {
    const ssize_t got = ::pread(descriptor_, out, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw CannotSort("cannot read " + what_ + ": " + SystemReason(errno));
    if (got == 0) throw CannotSort(what_ + " ends early");
    out += got;
    offset += static_cast<std::uint64_t>(got);
    size -= static_cast<std::size_t>(got);
  }
}

}  // namespace isort::app
