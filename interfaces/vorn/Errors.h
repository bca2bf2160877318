// Error reporting: the error record that outside components throw, the
// monitor that shows it to the user, and the exception that unwinds to the
// host's caller.
#pragma once

#include <cstdint>
#include <string>

#include "Api.h"

// A failure of an outside component, thrown by value and caught by reference.
// It carries a text for the user, a one-byte kind and an 8-byte detail; a copy
// copies all three. Our platform sets `kind` to one of `ErrorText::Kind` and
// `detail` to the system's errno where there is one.
class VORN_API ErrorText {
 public:
  enum Kind : unsigned char {
    kNone = 0,
    kFileCreate = 1,   // a temporary or named file could not be created/opened
    kFileWrite = 2,    // a write was refused (no space, file too large, I/O error)
    kFileRead = 3,     // a read failed
    kFileSeek = 4,     // a seek failed
    kCorruptData = 5,  // compressed data is truncated or malformed
    kCollation = 6,    // the collator could not be set up
    kHost = 7,         // raised by the host's own code (callbacks)
  };

  ErrorText();
  explicit ErrorText(std::string text, unsigned char kind = kNone,
                     std::int64_t detail = 0);

  const std::string& Text() const { return text_; }
  unsigned char Kind() const { return kind_; }
  std::int64_t Detail() const { return detail_; }

 private:
  std::string text_;
  unsigned char kind_;
  std::int64_t detail_;
};

// Thrown by the host's own code to abandon the current operation and return
// to its caller. It has no members.
class VORN_API VornGoToCaller {};

// The function through which a monitor shows a report: the error's text and
// its kind.
using VornReportFunction = void (*)(const char* text, int kind);

// The host's reporting function. Our platform's writes "isort: <text>" and a
// newline to standard error.
VORN_API void Reporter(const char* text, int kind);

// Shows errors to the user through a reporting function.
class VORN_API VornErrorMonitor {
 public:
  explicit VornErrorMonitor(VornReportFunction report);
  ~VornErrorMonitor();
  VornErrorMonitor(const VornErrorMonitor&) = delete;
  VornErrorMonitor& operator=(const VornErrorMonitor&) = delete;

  // Hands the error's text and kind to the reporting function; returns when
  // it returns.
  void Report(ErrorText error);

 private:
  VornReportFunction report_;
};
