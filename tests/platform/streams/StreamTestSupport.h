// Helpers shared by the stream tests: a fresh TMPDIR, the buffer-size
// setting, fault countdowns and the bit patterns the codec must keep.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "isort/platform.h"
#include "streams/FaultInjection.h"
#include "vorn/Streams.h"

namespace streams_test {

inline std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

inline double FromBits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Compares units bit for bit (NaN payloads and -0.0 included).
inline bool SameBits(const std::vector<OBS>& a, const std::vector<OBS>& b) {
  if (a.size() != b.size()) return false;
  return a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(OBS)) == 0;
}

constexpr double kSystemMissing = -1.7976931348623157e308;

// An 8-byte string unit: `text` followed by blanks.
inline double TextUnit(const char* text) {
  char bytes[8];
  std::memset(bytes, ' ', sizeof bytes);
  std::memcpy(bytes, text, std::strlen(text) < 8 ? std::strlen(text) : 8);
  double unit;
  std::memcpy(&unit, bytes, sizeof unit);
  return unit;
}

// Units that each test a corner of the group format.
inline std::vector<OBS> AdversarialUnits() {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<OBS> units = {
      0.0, -0.0, kSystemMissing, TextUnit(""), TextUnit("a"), TextUnit("ab"),
      TextUnit("abc"), TextUnit("abcd"), TextUnit("abcde"), TextUnit("abcdef"),
      TextUnit("abcdefg"), TextUnit("abcdefgh"), 1.0, -1.0, 2.0, 9.0, 255.0, 256.0,
      65535.0, 65536.0, 16777215.0, 16777216.0, 4294967295.0, 4294967296.0, -255.0,
      -256.0, -65535.0, -65536.0, -16777216.0, -4294967295.0, 0.5, -0.5, 0.25, 1.5,
      -2.75, 0.1, 1e300, -1e-300, 1e15, 1e16, inf, -inf, -99.0, 151.0,
      std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
      std::numeric_limits<double>::min(), std::numeric_limits<double>::max(),
      std::numeric_limits<double>::lowest(), std::numeric_limits<double>::epsilon(),
      FromBits(0x7FF8000000000000ull), FromBits(0xFFF8000000000001ull),
      FromBits(0x7FF0000000000001ull), FromBits(0x7FFFFFFFFFFFFFFFull),
      FromBits(0xFFFFFFFFFFFFFFFFull), FromBits(0x000000000000FFFFull),
      FromBits(0x2020202020202000ull), FromBits(0x0020202020202020ull),
      FromBits(0x8000000000000001ull), FromBits(0xFFEFFFFFFFFFFFFEull),
      FromBits(0x4000000000000000ull), FromBits(0x3FF0000000000001ull),
      1234567.0, 12345678.0, 99999999.0, 0.3333333333333333,
  };
  return units;
}

// n units drawn from the adversarial set and from random bit patterns.
inline std::vector<OBS> MixedUnits(std::size_t n, std::mt19937_64& random) {
  const std::vector<OBS> corners = AdversarialUnits();
  std::vector<OBS> units(n);
  for (auto& unit : units) {
    const std::uint64_t r = random();
    unit = (r & 3) == 0 ? FromBits(random()) : corners[(r >> 2) % corners.size()];
  }
  return units;
}

// Sets TMPDIR to a new empty directory for the scope and removes it after.
class ScopedTempDir {
 public:
  ScopedTempDir() {
    const char* old = std::getenv("TMPDIR");
    if (old != nullptr) {
      saved_ = old;
      hadOld_ = true;
    }
    char pattern[] = "/tmp/isort-streams-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made != nullptr) path_ = made;
    ::setenv("TMPDIR", path_.c_str(), 1);
  }
  ~ScopedTempDir() {
    for (const std::string& entry : Entries()) ::unlink((path_ + "/" + entry).c_str());
    ::rmdir(path_.c_str());
    if (hadOld_) {
      ::setenv("TMPDIR", saved_.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }

  // Names in the directory, without "." and "..".
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path_.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
  }

 private:
  std::string path_;
  std::string saved_;
  bool hadOld_ = false;
};

// Sets the file buffer size for the scope.
class ScopedBufferSize {
 public:
  explicit ScopedBufferSize(std::size_t bytes) : saved_(isort::platform::FileBufferSize()) {
    isort::platform::SetFileBufferSize(bytes);
  }
  ~ScopedBufferSize() { isort::platform::SetFileBufferSize(saved_); }
  ScopedBufferSize(const ScopedBufferSize&) = delete;
  ScopedBufferSize& operator=(const ScopedBufferSize&) = delete;

 private:
  std::size_t saved_;
};

// Disarms every fault countdown when the scope ends.
struct ScopedFaults {
  ScopedFaults() = default;
  ~ScopedFaults() { isort::platform::faults::ClearFileFaults(); }
  ScopedFaults(const ScopedFaults&) = delete;
  ScopedFaults& operator=(const ScopedFaults&) = delete;
};

// All bytes of a stream from `start` to its end.
inline std::vector<unsigned char> BytesOf(VORN_StrBaseIO& stream, long start, long end) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(end - start));
  stream.Seek(start, VORN_StrBaseIO::FromStart);
  const unsigned long got = stream.Read(bytes.data(), bytes.size());
  bytes.resize(got);
  return bytes;
}

}  // namespace streams_test
