// Multibyte string collation.
#pragma once

#include "vorn/Api.h"

// Compares byte strings under the collation of the process's LC_COLLATE
// locale. A default-constructed collator must be initialised with Init()
// before Compare. A copy compares the same way and shares no mutable state
// with the original, so each thread can use its own.
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
  void* collator_;  // the locale's ICU collator; null for byte order
};
