// Reading the fuzzers' inputs, and writing them for the seed corpora.
//
// Every target reads its input as a sequence of little-endian fields; a field
// past the end of the input reads as 0, so every byte string is a valid input
// and a short one simply takes the defaults. ByteWriter builds the same
// sequences for MakeSeeds.cc. The layout of each target's input is described
// at the top of its source file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <vector>

namespace isort::fuzz {

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t U8() { return static_cast<std::uint8_t>(Take(1)); }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Take(2)); }
  std::uint64_t U64() { return Take(8); }
  std::int64_t I64() { return static_cast<std::int64_t>(Take(8)); }

  std::size_t Left() const { return size_ - offset_; }
  // The bytes not read yet; reading stops there.
  const std::uint8_t* Rest() const { return data_ + offset_; }

 private:
  std::uint64_t Take(std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
      if (offset_ < size_) value |= static_cast<std::uint64_t>(data_[offset_++]) << (8 * i);
    }
    return value;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

class ByteWriter {
 public:
  ByteWriter& U8(std::uint8_t value) { return Put(value, 1); }
  ByteWriter& U16(std::uint16_t value) { return Put(value, 2); }
  ByteWriter& U64(std::uint64_t value) { return Put(value, 8); }
  ByteWriter& I64(std::int64_t value) { return Put(static_cast<std::uint64_t>(value), 8); }
  ByteWriter& Bytes(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), bytes, bytes + size);
    return *this;
  }
  const std::vector<std::uint8_t>& Data() const { return bytes_; }

 private:
  ByteWriter& Put(std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return *this;
  }

  std::vector<std::uint8_t> bytes_;
};

// splitmix64: the fuzzers draw row contents from a seed in the input, so an
// input stays short however wide its row is.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t x = (state_ += 0x9E3779B97F4A7C15ull);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
  }
  std::uint64_t Below(std::uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }

 private:
  std::uint64_t state_;
};

// A property of the routine under test does not hold: libFuzzer records the
// input as a crash.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

inline void Require(bool holds, const char* what) {
  if (!holds) Fail(what);
}

}  // namespace isort::fuzz
