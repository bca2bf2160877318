// Reading the fuzzers' inputs. Each target reads its input as a sequence of
// little-endian fields; a field past the end reads as 0, so every byte string
// is a valid input and a short one takes the defaults. The layout of each
// target's input is described at the top of its source, and the seed corpora
// in corpus/ follow it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace isort::fuzz {

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t U8() { return static_cast<std::uint8_t>(Take(1)); }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Take(2)); }
  std::uint64_t U64() { return Take(8); }
  std::int64_t I64() { return static_cast<std::int64_t>(Take(8)); }
  std::size_t Left() const { return size_ - offset_; }
  const std::uint8_t* Rest() const { return data_ + offset_; }  // the bytes not read yet

 private:
  std::uint64_t Take(std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes && offset_ < size_; ++i)
      value |= static_cast<std::uint64_t>(data_[offset_++]) << (8 * i);
    return value;
  }
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

// splitmix64: row contents come from a seed in the input, so an input stays
// short however wide its row is.
inline std::uint64_t NextRandom(std::uint64_t& state) {
  std::uint64_t x = (state += 0x9E3779B97F4A7C15ull);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A property of the routine under test does not hold: libFuzzer records the
// input as a crash.
inline void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

}  // namespace isort::fuzz
