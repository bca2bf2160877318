// The bytes of a stream kept in memory: an anonymous mapping that reserves
// address space up front and grows in place or by remapping, never by copying.
//
// Reserving costs nothing until a page is first written, and first touching
// fresh memory is what a large store pays for (about 3 s per GB with 4 KiB
// pages on our machines, about half with transparent huge pages), so large
// areas ask for huge pages and nothing is zeroed or copied by us.
#pragma once

#include <cstddef>

namespace isort::platform::streams {

class MemoryArea {
 public:
  // Reserves room for at least `bytes`. Throws std::bad_alloc.
  explicit MemoryArea(std::size_t bytes);
  ~MemoryArea();
  MemoryArea(const MemoryArea&) = delete;
  MemoryArea& operator=(const MemoryArea&) = delete;

  unsigned char* Data() const { return data_; }
  std::size_t Capacity() const { return capacity_; }
  // Bytes holding data: the furthest position ever written.
  std::size_t Size() const { return size_; }
  void SetSize(std::size_t bytes) { size_ = bytes; }

  // Makes room for at least `bytes`; Data() may move. Throws std::bad_alloc.
  void Reserve(std::size_t bytes);

 private:
  unsigned char* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

}  // namespace isort::platform::streams
