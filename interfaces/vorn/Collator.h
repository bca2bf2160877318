// Multibyte string collation.
#pragma once

#include <memory>

#include "vorn/Api.h"

struct UCollator;  // ICU's collator; only the platform library looks inside
class VORNMBCollator;

// Optional, for speed only: true when `collator` compares strings of equal
// length as memcmp does (the same sign), so that a caller may compare them
// itself. A platform may leave it out: the reference is weak, and callers
// test it for null before they call it.
VORN_API bool VORN_CollatorComparesBytes(const VORNMBCollator& collator)
    __attribute__((weak));

// Compares byte strings under the collation of the process's LC_COLLATE
// locale. A default-constructed collator must be initialised with Init()
// before Compare. A copy compares the same way and shares no mutable state
// with the original, so each thread can use its own.
//
// Our platform's collation: in the C/POSIX locale unsigned byte order (a
// proper prefix first); in any other locale ICU's collation for that locale
// on UTF-8 text without its trailing blanks (the padding of fixed-width
// fields), with byte order of the whole strings deciding what ICU leaves equal.
class VORN_API VORNMBCollator {
 public:
  VORNMBCollator();
  VORNMBCollator(const VORNMBCollator& other);
  VORNMBCollator& operator=(const VORNMBCollator&) = delete;
  ~VORNMBCollator();

  // Takes the collation from the current LC_COLLATE locale. Throws ErrorText
  // when the locale's collation cannot be set up.
  void Init();

  // Negative, 0 or positive for a before, equal to or after b. Distinct byte
  // strings never compare equal.
  int Compare(const char* a, int aLength, const char* b, int bLength) const;

 private:
  friend bool VORN_CollatorComparesBytes(const VORNMBCollator& collator);

  struct CloseCollator {
    void operator()(UCollator* collator) const;
  };

  // The locale's ICU collator; null for byte order (the C/POSIX locale, or
  // before Init()).
  std::unique_ptr<UCollator, CloseCollator> collator_;
};
