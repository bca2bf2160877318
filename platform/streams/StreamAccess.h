// Direct access to a stream's window for the streams and the group codec.
//
// The window is the part of a stream's memory at its position that may be
// read or written without a virtual call: a stream in memory exposes all of
// its bytes, a file handle its buffer. The codec encodes and decodes groups
// in place whenever the whole group fits into the window and falls back to
// the virtual Read and Write only at the window's edges.
#pragma once

#include <cstddef>
#include <memory>

#include "vorn/Streams.h"

namespace isort::platform::streams {

struct StreamAccess {
  static unsigned char*& Origin(VORN_StrBaseIO& s) { return s.origin_; }
  static unsigned char*& Cursor(VORN_StrBaseIO& s) { return s.cursor_; }
  static unsigned char*& ReadLimit(VORN_StrBaseIO& s) { return s.readLimit_; }
  static unsigned char*& WriteLimit(VORN_StrBaseIO& s) { return s.writeLimit_; }
  static bool& AtEnd(VORN_StrBaseIO& s) { return s.atEnd_; }
  static bool& OnFile(VORN_StrBaseIO& s) { return s.onFile_; }
  static bool OnFile(const VORN_StrBaseIO& s) { return s.onFile_; }
  static std::unique_ptr<MemoryArea>& Memory(VORN_StrBaseIO& s) { return s.memory_; }

  static const unsigned char* Origin(const VORN_StrBaseIO& s) { return s.origin_; }
  static const unsigned char* Cursor(const VORN_StrBaseIO& s) { return s.cursor_; }

  // Bytes that can be read at the position without a call (0 when none).
  static std::size_t Readable(const VORN_StrBaseIO& s) {
    return s.readLimit_ > s.cursor_ ? static_cast<std::size_t>(s.readLimit_ - s.cursor_) : 0;
  }
  // Bytes that can be written at the position without a call (0 when none).
  static std::size_t Writable(const VORN_StrBaseIO& s) {
    return s.writeLimit_ > s.cursor_ ? static_cast<std::size_t>(s.writeLimit_ - s.cursor_) : 0;
  }
  // Offset of the position from the window's origin.
  static std::size_t CursorOffset(const VORN_StrBaseIO& s) {
    return static_cast<std::size_t>(s.cursor_ - s.origin_);
  }

  static void SetWindow(VORN_StrBaseIO& s, unsigned char* origin, unsigned char* cursor,
                        unsigned char* readLimit, unsigned char* writeLimit) {
    s.origin_ = origin;
    s.cursor_ = cursor;
    s.readLimit_ = readLimit;
    s.writeLimit_ = writeLimit;
  }
};

}  // namespace isort::platform::streams
