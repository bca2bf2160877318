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
// The bytes are taken as groups of the sizes in turn, until a group fails:
//   1. with ReadCompressed from a VORN_InMemoryFile, where most groups decode
//      in place; the memory behind the stream's end is poisoned for the
//      address sanitizer, so a read past the end is reported;
//   2. with ReadCompressed from a temporary file through a tiny buffer, so
//      that groups cross the buffer's edges and are gathered through Read;
//   3. with CopyPrecompressed from the poisoned stream in memory to another,
//      and from the file to another file through the tiny buffer.
// Every output array holds exactly n units. Checked: a failure is an ErrorText
// of kind kCorruptData, and nothing else is thrown; every group that succeeds
// moves the position on and stays inside the stream; the four ways agree on
// where each group ends, and both reads on its units; each copy holds exactly
// the bytes of the groups copied; and the decoded groups encode and decode
// again to the same 64-bit patterns.
#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "isort/platform.h"
#include "vorn/Errors.h"
#include "vorn/Streams.h"

namespace {

using isort::fuzz::Require;
using Group = std::vector<std::uint64_t>;

// Where each group ended and, for reads, its units.
struct Outcome {
  std::vector<Group> groups;
  std::vector<long> ends;
};

Group Read(VORN_StrBaseIO& from, long n) {
  std::vector<OBS> units(static_cast<std::size_t>(n));  // exactly n units
  ReadCompressed(from, units.data(), n);
  Group bits(units.size());
  std::memcpy(bits.data(), units.data(), 8 * bits.size());
  return bits;
}

// Reads or copies groups of the sizes in turn with `step` until it throws.
// Each success consumes at least one byte, so the loop ends within the input.
template <typename Step>
Outcome Run(const std::vector<long>& sizes, std::size_t bytes, VORN_StrBaseIO& from,
            Step step) {
  Outcome outcome;
  for (std::size_t i = 0;; ++i) {
    try {
      outcome.groups.push_back(step(sizes[i % sizes.size()]));
    } catch (const ErrorText& error) {
      Require(error.Kind() == ErrorText::kCorruptData && !error.Text().empty(),
              "a bad group raises kCorruptData with a text");
      return outcome;
    }
    const long end = from.Tell();
    Require(end > (i == 0 ? 0 : outcome.ends.back()) && end <= static_cast<long>(bytes),
            "a group moves the position on, inside the stream");
    outcome.ends.push_back(end);
  }
}

// Copies with CopyPrecompressed until a group fails; the groups copied must be
// those that a read takes, and the copy must hold exactly their bytes.
void CheckCopy(const std::vector<long>& sizes, const std::uint8_t* data, std::size_t size,
               VORN_StrBaseIO& from, VORN_StrBaseIO& to, const Outcome& read) {
  const Outcome copied = Run(sizes, size, from, [&](long n) {
    CopyPrecompressed(from, to, n);
    return Group();
  });
  Require(copied.ends == read.ends, "a copy takes the groups a read takes");
  const long length = to.Tell();
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  to.Seek(0, VORN_StrBaseIO::FromStart);
  Require(length == (read.ends.empty() ? 0 : read.ends.back()) &&
              (length == 0 || (to.Read(bytes.data(), bytes.size()) == bytes.size() &&
                               std::memcmp(bytes.data(), data, bytes.size()) == 0)),
          "a copy holds exactly the bytes of the groups copied");
}

// A stream in memory holding exactly `data`, with the memory behind its end
// poisoned while it lives. The stream reserves at least 64 KiB beyond the size
// it is told, so the poisoned stretch is its own memory.
class PoisonedMemoryStream : public VORN_InMemoryFile {
 public:
  static constexpr std::size_t kPoisoned = 64 * 1024;
  PoisonedMemoryStream(const std::uint8_t* data, std::size_t size)
      : VORN_InMemoryFile(size) {
    if (size > 0) Write(data, size);
    Seek(0, FromStart);
    end_ = VORN_InMemoryAddress(*this, static_cast<long>(size));
    ASAN_POISON_MEMORY_REGION(end_, kPoisoned);
  }
  ~PoisonedMemoryStream() override { ASAN_UNPOISON_MEMORY_REGION(end_, kPoisoned); }

 private:
  const void* end_ = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t inputSize) {
  isort::fuzz::ByteReader in(input, inputSize);
  const std::size_t bufferBytes = 1 + in.U8() % 64;
  std::vector<long> sizes(1 + in.U8() % 8);
  for (long& n : sizes) {
    const unsigned value = in.U16();
    n = 1 + static_cast<long>(value < 0xF000 ? value % 24 : value % 3000);
  }
  const std::uint8_t* data = in.Rest();
  const std::size_t size = in.Left();

  Outcome fromMemory;
  {
    PoisonedMemoryStream memory(data, size);
    fromMemory = Run(sizes, size, memory, [&](long n) { return Read(memory, n); });
    memory.Seek(0, VORN_StrBaseIO::FromStart);
    VORN_InMemoryFile copy(0);
    CheckCopy(sizes, data, size, memory, copy, fromMemory);
  }

  const std::size_t previousBuffer = isort::platform::FileBufferSize();
  isort::platform::SetFileBufferSize(bufferBytes);
  {
    VORN_TempFile file("fuzz", true);
    if (size > 0) file.Write(data, size);
    file.Seek(0, VORN_StrBaseIO::FromStart);
    const Outcome fromFile =
        Run(sizes, size, file, [&](long n) { return Read(file, n); });
    Require(fromFile.groups == fromMemory.groups && fromFile.ends == fromMemory.ends,
            "a file and a stream in memory decode alike");
    file.Seek(0, VORN_StrBaseIO::FromStart);
    VORN_TempFile copy("fuzz", true);
    CheckCopy(sizes, data, size, file, copy, fromMemory);
  }
  isort::platform::SetFileBufferSize(previousBuffer);

  // Every decoded group encodes and decodes again to the same patterns.
  VORN_InMemoryFile again(0);
  for (std::size_t i = 0; i < fromMemory.groups.size(); ++i) {
    std::vector<OBS> units(fromMemory.groups[i].size());
    std::memcpy(units.data(), fromMemory.groups[i].data(), 8 * units.size());
    WriteCompressed(again, units.data(), static_cast<long>(units.size()));
  }
  again.Seek(0, VORN_StrBaseIO::FromStart);
  for (const Group& group : fromMemory.groups)
    Require(Read(again, static_cast<long>(group.size())) == group,
            "a decoded group encodes and decodes to the same units");
  return 0;
}
