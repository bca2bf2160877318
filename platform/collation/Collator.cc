// The string collator: unsigned byte order in the C/POSIX locale, ICU's
// collation of the locale elsewhere. Either way byte order decides what the
// collation leaves equal (canonically equivalent spellings, ill-formed UTF-8
// that ICU reads as U+FFFD), so distinct byte strings never compare equal and
// the sort's order does not depend on which of two such rows came first.
//
// Keys are fixed-width fields padded with blanks, and a field holding a
// multibyte letter has fewer blanks than one holding its base letter. ICU
// weighs blanks like letters, so "e" + 11 blanks would sort after "é" + 10
// blanks. ICU therefore sees the text without its trailing blanks; the byte
// order that breaks its ties still sees the whole field.
#include "vorn/Collator.h"

#include <unicode/ucol.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "collation/LocaleId.h"
#include "vorn/Errors.h"

namespace {

// Unsigned byte order; a proper prefix comes first.
int CompareBytes(const char* a, int aLength, const char* b, int bLength) {
  const int common = std::min(aLength, bLength);
  if (common > 0) {
    const int byBytes = std::memcmp(a, b, static_cast<std::size_t>(common));
    if (byBytes != 0) return byBytes;
  }
  return aLength - bLength;
}

// The length of `text` without its trailing blanks.
int WithoutTrailingBlanks(const char* text, int length) {
  while (length > 0 && text[length - 1] == ' ') --length;
  return length;
}

[[noreturn]] void ThrowCollationError(const std::string& locale,
                                      const std::string& reason) {
  throw ErrorText(
      "cannot set up the string collation of locale \"" + locale + "\": " + reason,
      ErrorText::kCollation);
}

UCollator* OpenIcuCollator(const std::string& posixName) {
  const std::optional<std::string> id = isort::platform::IcuLocaleId(posixName);
  if (!id) {
    ThrowCollationError(posixName, "the name is not of the form language_TERRITORY");
  }
  UErrorCode status = U_ZERO_ERROR;
  UCollator* collator = ucol_open(id->c_str(), &status);
  if (U_FAILURE(status)) {
    if (collator != nullptr) ucol_close(collator);
    ThrowCollationError(posixName, std::string("ICU cannot open a collator for \"") +
                                       *id + "\" (" + u_errorName(status) + ")");
  }
  return collator;
}

}  // namespace

void VORNMBCollator::CloseCollator::operator()(UCollator* collator) const {
  ucol_close(collator);
}

VORNMBCollator::VORNMBCollator() = default;

VORNMBCollator::VORNMBCollator(const VORNMBCollator& other) {
  if (!other.collator_) return;
  UErrorCode status = U_ZERO_ERROR;
  collator_.reset(ucol_clone(other.collator_.get(), &status));
  // A clone fails only when memory runs out; report it as exhausted memory.
  if (U_FAILURE(status) || !collator_) {
    collator_.reset();
    throw std::bad_alloc();
  }
}

VORNMBCollator::~VORNMBCollator() = default;

void VORNMBCollator::Init() {
  const char* current = std::setlocale(LC_COLLATE, nullptr);
  const std::string locale = current != nullptr ? current : "C";
  if (isort::platform::IsByteOrderLocale(locale)) {
    collator_.reset();
  } else {
    collator_.reset(OpenIcuCollator(locale));
  }
}

int VORNMBCollator::Compare(const char* a, int aLength, const char* b,
                            int bLength) const {
  if (collator_) {
    UErrorCode status = U_ZERO_ERROR;
    const UCollationResult byCollation =
        ucol_strcollUTF8(collator_.get(), a, WithoutTrailingBlanks(a, aLength), b,
                         WithoutTrailingBlanks(b, bLength), &status);
    // ICU reads ill-formed UTF-8 as U+FFFD. It fails only on invalid
    // arguments (a null text with a length, a length below -1), which the
    // engine never passes; byte order answers then.
    if (U_SUCCESS(status) && byCollation != UCOL_EQUAL) {
      return byCollation == UCOL_LESS ? -1 : 1;
    }
  }
  return CompareBytes(a, aLength, b, bLength);
}

bool VORN_CollatorComparesBytes(const VORNMBCollator& collator) { return !collator.collator_; }
