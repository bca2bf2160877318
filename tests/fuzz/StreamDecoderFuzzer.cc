// Fuzz target: ReadCompressed on arbitrary bytes, read as groups of the sizes
// in turn into arrays of exactly n units until one fails: from a stream in
// memory whose memory behind its end is poisoned for the address sanitizer,
// and from a temporary file through a tiny buffer, so that groups cross the
// buffer's edges. A failure must be an ErrorText of kind kCorruptData; a group
// read moves the position on, inside the stream; both reads agree. Input:
//   U8   buffer size of the file handles: 1 + value % 64 bytes
//   U8   number of group sizes m = 1 + value % 8
//   m x U16  group sizes n: 1 + value % 24 below 0xF000 (ordinary rows), else
//        1 + value % 3000 (groups whose scratch copy does not fit the stack)
//   the rest: the stream's bytes
#include <sanitizer/asan_interface.h>

#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "TestHooks.h"
#include "vorn/Errors.h"
#include "vorn/Streams.h"

using isort::fuzz::Require;

// Each group's units as bits, then where it ended, until a group fails.
static std::vector<std::uint64_t> ReadGroups(const std::vector<long>& sizes, long bytes,
                                             VORN_StrBaseIO& from) {
  std::vector<std::uint64_t> read;
  for (std::size_t i = 0;; ++i) {
    std::vector<OBS> units(static_cast<std::size_t>(sizes[i % sizes.size()]));
    const long start = from.Tell();
    try {
      ReadCompressed(from, units.data(), static_cast<long>(units.size()));
    } catch (const ErrorText& error) {
      Require(error.Kind() == ErrorText::kCorruptData && !error.Text().empty(),
              "a bad group raises kCorruptData with a text");
      return read;
    }
    Require(from.Tell() > start && from.Tell() <= bytes,
            "a group moves the position on, inside the stream");
    read.resize(read.size() + units.size());
    std::memcpy(&read[read.size() - units.size()], units.data(), 8 * units.size());
    read.push_back(static_cast<std::uint64_t>(from.Tell()));
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t inputSize) {
  isort::fuzz::ByteReader in{input, inputSize};
  isort::platform::SetFileBufferSize(1 + in.U8() % 64);
  std::vector<long> sizes(1 + in.U8() % 8);
  for (long& n : sizes) {
    const unsigned value = in.U16();
    n = 1 + static_cast<long>(value < 0xF000 ? value % 24 : value % 3000);
  }
  const std::uint8_t* data = input + in.offset;
  const std::size_t size = inputSize - in.offset;
  VORN_InMemoryFile memory(size);  // which reserves 64 KiB beyond its size
  VORN_TempFile file("fuzz", true);
  VORN_StrBaseIO* const streams[] = {&memory, &file};
  for (VORN_StrBaseIO* stream : streams) {
    if (size > 0) stream->Write(data, size);
    stream->Seek(0, VORN_StrBaseIO::FromStart);
  }
  const void* end = VORN_InMemoryAddress(memory, static_cast<long>(size));
  ASAN_POISON_MEMORY_REGION(end, 64 * 1024);
  Require(ReadGroups(sizes, static_cast<long>(size), memory) ==
              ReadGroups(sizes, static_cast<long>(size), file),
          "a stream in memory and a file decode alike");
  ASAN_UNPOISON_MEMORY_REGION(end, 64 * 1024);
  return 0;
}
