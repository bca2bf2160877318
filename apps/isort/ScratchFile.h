// ScratchFile: an unnamed work file that grows by buffered appends and is
// read back by position. Nothing of it is left on disk, even when the process
// is killed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace isort::app {

class ScratchFile {
 public:
  // A new file in `directory`; `what` names it in messages. Throws CannotSort.
  ScratchFile(const std::string& directory, const std::string& what);
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Appends `bytes`; returns where they start. Throws CannotSort.
  std::uint64_t Append(std::string_view bytes);
  // Writes out what Append holds back, so that reads see it, and frees the
  // buffer until the next Append.
  void Flush();
  // Reads `size` bytes from `offset` into `out`; the bytes must have been
  // flushed. Throws CannotSort.
  void ReadAt(std::uint64_t offset, std::size_t size, char* out) const;

  // Bytes appended so far.
  std::uint64_t size() const { return size_; }
  int descriptor() const { return descriptor_; }
  const std::string& what() const { return what_; }

 private:
  int descriptor_ = -1;
  std::string what_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
  std::uint64_t size_ = 0;
};

}  // namespace isort::app
