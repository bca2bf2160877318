// Fuzz target: the compressed group decoder on arbitrary bytes.
//
// Input layout (FuzzInput.h; missing bytes read as 0):
//   U8   buffer size of the file handles: 1 + value % 64 bytes
//   U8   number of group sizes m = 1 + value % 8
//   m x U16  group sizes n: 1 + value % 24 below 0xF000 (the widths of
//        ordinary rows), else 1 + value % 3000 (groups whose scratch copy no
//        longer fits on the stack)
//   the rest: the stream's bytes
//
// The bytes are read as groups of the sizes in turn, until ReadCompressed
// fails, four ways:
//   1. from a VORN_InMemoryFile, where most groups decode in place; the bytes
//      after the stream's end are poisoned for the address sanitizer, so a
//      read past the end is reported even though the stream's memory goes on;
//   2. from a temporary file through a tiny buffer, so that groups cross the
//      buffer's edges and the decoder gathers them through Read;
//   3. CopyPrecompressed from memory to memory;
//   4. CopyPrecompressed from the file to a second file, both with the tiny
//      buffer.
// Every output array holds exactly n units. Checked: every failure is an
// ErrorText of kind kCorruptData (nothing else is thrown); the ways agree on
// how many groups succeed and where each ends; both reads decode the same
// units; each copy holds exactly the bytes of the groups copied, and reading
// it back gives the same units again; and every decoded group encodes and
// decodes to the same 64-bit patterns.
#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzInput.h"
#include "isort/platform.h"
#include "vorn/Errors.h"
#include "vorn/Streams.h"

namespace {

using isort::fuzz::ByteReader;
using isort::fuzz::Require;

// What reading or copying the stream gave: the units of every group that
// succeeded, the stream's position after each, and whether it ended with a
// corrupt-data ErrorText (the only way it may end).
struct Outcome {
  std::vector<std::vector<std::uint64_t>> groups;
  std::vector<long> ends;
};

std::unique_ptr<OBS[]> Units(std::size_t n) { return std::unique_ptr<OBS[]>(new OBS[n]); }

std::vector<std::uint64_t> BitsOf(const OBS* units, std::size_t n) {
  std::vector<std::uint64_t> bits(n);
  std::memcpy(bits.data(), units, 8 * n);
  return bits;
}

// `step` reads or copies one group of n units; it is called for the sizes in
// turn until it throws. Each success consumes at least one byte, so the loop
// ends within the input's length.
template <typename Step>
Outcome Run(const std::vector<long>& sizes, std::size_t bytes, VORN_StrBaseIO& from, Step step) {
  Outcome outcome;
  for (std::size_t i = 0;; ++i) {
    Require(i <= bytes, "every group consumes at least one byte");
    const long n = sizes[i % sizes.size()];
    try {
      outcome.groups.push_back(step(n));
    } catch (const ErrorText& error) {
      if (error.Kind() != ErrorText::kCorruptData) {
        std::fprintf(stderr, "ErrorText of kind %d: %s\n", error.Kind(), error.Text().c_str());
      }
      Require(error.Kind() == ErrorText::kCorruptData, "a bad group raises kCorruptData");
      Require(!error.Text().empty(), "the error has a text");
      return outcome;
    }
    const long end = from.Tell();
    Require(end > (outcome.ends.empty() ? 0 : outcome.ends.back()), "the position moves on");
    Require(end <= static_cast<long>(bytes), "the position stays inside the stream");
    outcome.ends.push_back(end);
  }
}

// A stream in memory holding exactly `data`, with the memory behind its end
// poisoned until it is destroyed. The stream reserves at least 64 KiB beyond
// the size it is told, so the poisoned stretch is its own memory.
class PoisonedMemoryStream {
 public:
  static constexpr std::size_t kPoisoned = 64 * 1024;

  PoisonedMemoryStream(const std::uint8_t* data, std::size_t size) : stream_(size) {
    if (size > 0) stream_.Write(data, size);
    stream_.Seek(0, VORN_StrBaseIO::FromStart);
    end_ = VORN_InMemoryAddress(stream_, static_cast<long>(size));
    ASAN_POISON_MEMORY_REGION(end_, kPoisoned);
  }
  ~PoisonedMemoryStream() { ASAN_UNPOISON_MEMORY_REGION(end_, kPoisoned); }
  VORN_InMemoryFile& Stream() { return stream_; }

 private:
  VORN_InMemoryFile stream_;
  const void* end_ = nullptr;
};

std::vector<std::uint8_t> Contents(VORN_StrBaseIO& stream) {
  stream.Seek(0, VORN_StrBaseIO::FromEnd);
  const long size = stream.Tell();
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  stream.Seek(0, VORN_StrBaseIO::FromStart);
  if (size > 0) {
    Require(stream.Read(bytes.data(), bytes.size()) == bytes.size(), "a copy reads back whole");
  }
  return bytes;
}

// Reads the groups of a copy again: they must be the groups read first.
void CheckCopy(VORN_StrBaseIO& copy, const std::uint8_t* data, const Outcome& read,
               const std::vector<long>& sizes) {
  const std::vector<std::uint8_t> bytes = Contents(copy);
  const std::size_t copied = read.ends.empty() ? 0 : static_cast<std::size_t>(read.ends.back());
  Require(bytes.size() == copied && (copied == 0 || std::memcmp(bytes.data(), data, copied) == 0),
          "a copy holds exactly the bytes of the groups copied");
  copy.Seek(0, VORN_StrBaseIO::FromStart);
  for (std::size_t i = 0; i < read.groups.size(); ++i) {
    const long n = sizes[i % sizes.size()];
    auto units = Units(static_cast<std::size_t>(n));
    ReadCompressed(copy, units.get(), n);
    Require(BitsOf(units.get(), static_cast<std::size_t>(n)) == read.groups[i],
            "a copied group decodes to the same units");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t inputSize) {
  ByteReader in(input, inputSize);
  const std::size_t bufferBytes = 1 + in.U8() % 64;
  const unsigned nSizes = 1 + in.U8() % 8;
  std::vector<long> sizes;
  for (unsigned i = 0; i < nSizes; ++i) {
    const unsigned value = in.U16();
    sizes.push_back(1 + static_cast<long>(value < 0xF000 ? value % 24 : value % 3000));
  }
  const std::uint8_t* data = in.Rest();
  const std::size_t size = in.Left();

  // 1. Decoding from memory.
  Outcome fromMemory;
  {
    PoisonedMemoryStream memory(data, size);
    VORN_StrBaseIO& stream = memory.Stream();
    fromMemory = Run(sizes, size, stream, [&](long n) {
      auto units = Units(static_cast<std::size_t>(n));
      ReadCompressed(stream, units.get(), n);
      return BitsOf(units.get(), static_cast<std::size_t>(n));
    });
  }

  // Every decoded group encodes and decodes to the same patterns.
  {
    VORN_InMemoryFile again(0);
    for (std::size_t i = 0; i < fromMemory.groups.size(); ++i) {
      const long n = sizes[i % sizes.size()];
      std::vector<OBS> units(static_cast<std::size_t>(n));
      std::memcpy(units.data(), fromMemory.groups[i].data(), 8 * units.size());
      WriteCompressed(again, units.data(), n);
    }
    again.Seek(0, VORN_StrBaseIO::FromStart);
    for (std::size_t i = 0; i < fromMemory.groups.size(); ++i) {
      const long n = sizes[i % sizes.size()];
      auto units = Units(static_cast<std::size_t>(n));
      ReadCompressed(again, units.get(), n);
      Require(BitsOf(units.get(), static_cast<std::size_t>(n)) == fromMemory.groups[i],
              "a decoded group encodes and decodes to the same units");
    }
  }

  // 2. Decoding from a file through a tiny buffer.
  const std::size_t previousBuffer = isort::platform::FileBufferSize();
  isort::platform::SetFileBufferSize(bufferBytes);
  {
    VORN_TempFile file("fuzz", true);
    if (size > 0) file.Write(data, size);
    file.Seek(0, VORN_StrBaseIO::FromStart);
    const Outcome fromFile = Run(sizes, size, file, [&](long n) {
      auto units = Units(static_cast<std::size_t>(n));
      ReadCompressed(file, units.get(), n);
      return BitsOf(units.get(), static_cast<std::size_t>(n));
    });
    Require(fromFile.groups == fromMemory.groups && fromFile.ends == fromMemory.ends,
            "a file and a stream in memory decode alike");

    // 4. Copying file to file.
    file.Seek(0, VORN_StrBaseIO::FromStart);
    VORN_TempFile copy("fuzz", true);
    const Outcome copied = Run(sizes, size, file, [&](long n) {
      CopyPrecompressed(file, copy, n);
      return std::vector<std::uint64_t>();
    });
    Require(copied.ends == fromMemory.ends, "a copy between files takes the groups a read takes");
    CheckCopy(copy, data, fromMemory, sizes);
  }
  isort::platform::SetFileBufferSize(previousBuffer);

  // 3. Copying memory to memory.
  {
    PoisonedMemoryStream memory(data, size);
    VORN_StrBaseIO& stream = memory.Stream();
    VORN_InMemoryFile copy(0);
    const Outcome copied = Run(sizes, size, stream, [&](long n) {
      CopyPrecompressed(stream, copy, n);
      return std::vector<std::uint64_t>();
    });
    Require(copied.ends == fromMemory.ends, "a copy in memory takes the groups a read takes");
    CheckCopy(copy, data, fromMemory, sizes);
  }
  return 0;
}
