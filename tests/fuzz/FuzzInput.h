// The fuzzers' inputs: little-endian fields, those past the end reading as 0,
// so every byte string is an input. Each target's layout is at the top of its
// source; the seed corpora in corpus/ follow it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace isort::fuzz {

struct ByteReader {
  const std::uint8_t* data;
  std::size_t size, offset = 0;
  std::uint64_t Take(std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes && offset < size; ++i)
      value |= static_cast<std::uint64_t>(data[offset++]) << (8 * i);
    return value;
  }
  std::uint8_t U8() { return static_cast<std::uint8_t>(Take(1)); }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Take(2)); }
  std::int64_t I64() { return static_cast<std::int64_t>(Take(8)); }
};

// splitmix64: rows come from a seed in the input, so an input stays short
// however wide its row is.
inline std::uint64_t NextRandom(std::uint64_t& state) {
  std::uint64_t x = (state += 0x9E3779B97F4A7C15ull);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A property that does not hold: libFuzzer keeps the input as a crash.
inline void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

}  // namespace isort::fuzz
