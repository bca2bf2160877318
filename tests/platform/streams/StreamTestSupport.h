// Helpers shared by the stream tests: a fresh TMPDIR, the platform's
// settings, and units that try every corner of the group codec.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "isort/platform.h"
#include "streams/FaultInjection.h"
#include "vorn/Errors.h"
#include "vorn/Streams.h"

namespace streams_test {

inline double FromBits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Compares units bit for bit (NaN payloads and -0.0 included).
inline bool SameBits(const std::vector<OBS>& a, const std::vector<OBS>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(OBS)) == 0);
}

constexpr double kSystemMissing = -1.7976931348623157e308;

// An 8-byte string unit: `text` (at most 8 bytes) followed by blanks.
inline double TextUnit(const std::string& text) {
  const std::string bytes = (text + "        ").substr(0, 8);
  double unit;
  std::memcpy(&unit, bytes.data(), sizeof unit);
  return unit;
}

// Units at the corners of what a codec may special-case: zeros, the
// system-missing value, blank-padded strings of every length, integers at
// byte boundaries, fractions, denormals, infinities, NaN payloads and patterns
// a bit away from the special ones.
inline const std::vector<OBS>& Corners() {
  using limits = std::numeric_limits<double>;
  static const std::vector<OBS> corners = [] {
    std::vector<OBS> units = {0.0, -0.0, kSystemMissing, 0.5, 0.1, limits::infinity(),
                              limits::max(), limits::denorm_min(), -limits::denorm_min()};
    for (std::size_t length = 0; length <= 8; ++length) {
      units.push_back(TextUnit(std::string("abcdefgh", length)));
    }
    for (double i = 1; i < 1e10; i *= 256) {
      units.insert(units.end(), {i - 1, i, i + 1, 1 - i, -i});  // 0 and -0 too
    }
    for (std::uint64_t bits :
         {0x7FF8000000000000ull, 0xFFF8000000000001ull, 0x7FF0000000000001ull,
          0x2020202020202000ull, 0x0020202020202020ull, 0x3FF0000000000001ull}) {
      units.push_back(FromBits(bits));
    }
    return units;
  }();
  return corners;
}

// n units, drawn from the corners and from random bit patterns.
inline std::vector<OBS> MixedUnits(std::size_t n, std::mt19937_64& random) {
  std::vector<OBS> units(n);
  for (OBS& unit : units) {
    const std::uint64_t r = random();
    unit = (r & 3) == 0 ? FromBits(random()) : Corners()[(r >> 2) % Corners().size()];
  }
  return units;
}

inline std::vector<unsigned char> Pattern(std::size_t bytes, unsigned seed) {
  std::vector<unsigned char> data(bytes);
  for (std::size_t i = 0; i < bytes; ++i) {
    data[i] = static_cast<unsigned char>(i * 31 + seed);
  }
  return data;
}

// The bytes of a stream from `start` to `end` (fewer where it ends).
inline std::vector<unsigned char> BytesOf(VORN_StrBaseIO& stream, long start, long end) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(end - start));
  stream.Seek(start, VORN_StrBaseIO::FromStart);
  bytes.resize(stream.Read(bytes.data(), bytes.size()));
  return bytes;
}

// The ErrorText that `operation` raises; a failure when it raises none.
template <typename Operation>
ErrorText CaughtError(Operation operation) {
  try {
    operation();
  } catch (const ErrorText& error) {
    return error;
  }
  ADD_FAILURE() << "no ErrorText was raised";
  return ErrorText();
}

// For the scope: TMPDIR names a new empty directory, the file buffer has
// `bufferBytes` (0: as it was), and no fault countdown is left armed.
class ScopedSettings {
 public:
  explicit ScopedSettings(std::size_t bufferBytes = 0) {
    char pattern[] = "/tmp/isort-streams-test-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) path_ = pattern;
    ::setenv("TMPDIR", path_.c_str(), 1);
    if (bufferBytes != 0) isort::platform::SetFileBufferSize(bufferBytes);
  }
  ~ScopedSettings() {
    std::filesystem::remove_all(path_);
    saved_.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", saved_.c_str(), 1);
    isort::platform::SetFileBufferSize(buffer_);
    isort::platform::faults::ClearFileFaults();
  }

  const std::string& path() const { return path_; }

  bool Empty() const { return std::filesystem::is_empty(path_); }

 private:
  const std::string saved_ = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
  const std::size_t buffer_ = isort::platform::FileBufferSize();
  std::string path_;
};

}  // namespace streams_test
