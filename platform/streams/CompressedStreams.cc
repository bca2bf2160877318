// WriteCompressed, ReadCompressed and CopyPrecompressed: groups of units on
// any stream.
//
// They run tens of millions of times per sort, mostly on groups of a few
// units, so the common case works in the stream's window (its buffer or its
// memory) with no virtual call: encode straight into the window, decode
// straight out of it, copy window to window. Only a group that crosses the
// edge of a window goes through the virtual Read and Write, via a scratch
// copy of the group.
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "streams/GroupFormat.h"
#include "streams/StreamAccess.h"
#include "vorn/Streams.h"

namespace isort::platform::streams {
namespace {

using group::Span;

// Room for one group: on the stack for the groups of ordinary rows, on the
// heap beyond. kSlack lets the decoder load whole words near the end.
class Scratch {
 public:
  static constexpr std::size_t kSlack = 8;

  explicit Scratch(std::size_t bytes)
      : heap_(bytes + kSlack > sizeof local_ ? new unsigned char[bytes + kSlack] : nullptr),
        size_(bytes + kSlack) {}
  unsigned char* Data() { return heap_ ? heap_.get() : local_; }
  const unsigned char* End() { return Data() + size_; }

 private:
  unsigned char local_[2304];
  std::unique_ptr<unsigned char[]> heap_;
  std::size_t size_;
};

std::string StreamName(const VORN_StrBaseIO& stream) {
  if (const auto* file = dynamic_cast<const VORN_FileStream*>(&stream)) {
    return file->Name();
  }
  return "stream in memory";
}

// The text names the stream and the position of the bad group; the detail is
// EBADMSG, as for a damaged message.
[[noreturn]] void FailCorrupt(const VORN_StrBaseIO& stream, long groupStart, std::size_t n,
                              const char* what) {
  throw ErrorText("corrupt compressed data in " + StreamName(stream) + " at byte " +
                      std::to_string(groupStart) + ": " + what + " (group of " +
                      std::to_string(n) + " units)",
                  ErrorText::kCorruptData, EBADMSG);
}

[[noreturn]] void FailShortWrite(const VORN_StrBaseIO& stream) {
  throw ErrorText("cannot write " + StreamName(stream) + ": the stream took fewer bytes",
                  ErrorText::kFileWrite, EIO);
}

// Takes exactly `bytes` from the stream: from its window first, then through
// Read. Throws when the stream ends first.
void ReadExactly(VORN_StrBaseIO& from, unsigned char* to, std::size_t bytes, long groupStart,
                 std::size_t n) {
  const std::size_t inWindow = StreamAccess::Readable(from);
  const std::size_t taken = bytes < inWindow ? bytes : inWindow;
  if (taken > 0) {
    std::memcpy(to, StreamAccess::Cursor(from), taken);
    StreamAccess::Cursor(from) += taken;
  }
  if (taken == bytes) return;
  if (from.Read(to + taken, bytes - taken) != bytes - taken) {
    FailCorrupt(from, groupStart, n, "the data ends inside the group");
  }
}

void WriteExactly(VORN_StrBaseIO& to, const unsigned char* from, std::size_t bytes) {
  if (StreamAccess::Writable(to) >= bytes) {
    std::memcpy(StreamAccess::Cursor(to), from, bytes);
    StreamAccess::Cursor(to) += bytes;
    return;
  }
  if (to.Write(from, bytes) != bytes) FailShortWrite(to);
}

// Moves the group at the position of `from` into `scratch`, header first
// (it tells the length); returns its length.
std::size_t GatherGroup(VORN_StrBaseIO& from, std::size_t n, Scratch& scratch) {
  const long groupStart = from.Tell();
  unsigned char* bytes = scratch.Data();
  ReadExactly(from, bytes, 1, groupStart, n);
  const std::size_t header = group::HeaderBytes(bytes[0], n);
  if (header == 0) FailCorrupt(from, groupStart, n, "unknown group header");
  ReadExactly(from, bytes + 1, header - 1, groupStart, n);
  std::size_t length = 0;
  if (group::Measure(bytes, header, n, &length) == Span::kMalformed) {
    FailCorrupt(from, groupStart, n, "malformed unit tags");
  }
  ReadExactly(from, bytes + header, length - header, groupStart, n);
  return length;
}

// Looks at the group at the position of `from` in its window: kWhole with
// its length when all of it is there.
Span MeasureInWindow(VORN_StrBaseIO& from, std::size_t n, std::size_t* length) {
  const Span span =
      group::Measure(StreamAccess::Cursor(from), StreamAccess::Readable(from), n, length);
  if (span == Span::kMalformed) {
    FailCorrupt(from, from.Tell(), n, "unknown group header or malformed unit tags");
  }
  return span;
}

// Encodes the group as `to` keeps it: small groups raw on a file.
std::size_t EncodeFor(const VORN_StrBaseIO& to, const OBS* units, std::size_t n,
                      unsigned char* out) {
  if (n <= group::kRawOnFileUnits && StreamAccess::OnFile(to)) {
    return group::EncodeRaw(units, n, out);
  }
  return group::Encode(units, n, out);
}

void WriteAcrossEdge(VORN_StrBaseIO& to, const OBS* units, std::size_t n) {
  Scratch scratch(group::MaxGroupBytes(n));
  const std::size_t length = EncodeFor(to, units, n, scratch.Data());
  WriteExactly(to, scratch.Data(), length);
}

void ReadAcrossEdge(VORN_StrBaseIO& from, OBS* units, std::size_t n) {
  Scratch scratch(group::MaxGroupBytes(n));
  const std::size_t length = GatherGroup(from, n, scratch);
  group::Decode(scratch.Data(), n, length, scratch.End(), units);
}

void CopyAcrossEdge(VORN_StrBaseIO& from, VORN_StrBaseIO& to, std::size_t n) {
  std::size_t length = 0;
  if (MeasureInWindow(from, n, &length) == Span::kWhole) {
    WriteExactly(to, StreamAccess::Cursor(from), length);
    StreamAccess::Cursor(from) += length;
    return;
  }
  Scratch scratch(group::MaxGroupBytes(n));
  length = GatherGroup(from, n, scratch);
  WriteExactly(to, scratch.Data(), length);
}

}  // namespace
}  // namespace isort::platform::streams

using isort::platform::streams::StreamAccess;
namespace streams = isort::platform::streams;
namespace group = isort::platform::streams::group;

void WriteCompressed(VORN_StrBaseIO& to, const OBS* units, long n) {
  if (n <= 0) return;
  const auto count = static_cast<std::size_t>(n);
  if (StreamAccess::Writable(to) >= group::MaxGroupBytes(count)) {
    StreamAccess::Cursor(to) += streams::EncodeFor(to, units, count, StreamAccess::Cursor(to));
    return;
  }
  streams::WriteAcrossEdge(to, units, count);
}

void ReadCompressed(VORN_StrBaseIO& from, OBS* units, long n) {
  if (n <= 0) return;
  const auto count = static_cast<std::size_t>(n);
  const std::size_t length = group::DecodeWhole(StreamAccess::Cursor(from),
                                                 StreamAccess::Readable(from), count, units);
  if (length != 0 && length != group::kMalformedGroup) {
    StreamAccess::Cursor(from) += length;
    return;
  }
  if (length == group::kMalformedGroup) {
    streams::FailCorrupt(from, from.Tell(), count, "unknown group header or malformed unit tags");
  }
  streams::ReadAcrossEdge(from, units, count);
}

void CopyPrecompressed(VORN_StrBaseIO& from, VORN_StrBaseIO& to, long n) {
  if (n <= 0) return;
  const auto count = static_cast<std::size_t>(n);
  std::size_t length = 0;
  if (streams::MeasureInWindow(from, count, &length) == group::Span::kWhole &&
      StreamAccess::Writable(to) >= length) {
    std::memmove(StreamAccess::Cursor(to), StreamAccess::Cursor(from), length);
    StreamAccess::Cursor(from) += length;
    StreamAccess::Cursor(to) += length;
    return;
  }
  streams::CopyAcrossEdge(from, to, count);
}
