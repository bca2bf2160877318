// Blank-trimming of the string key fields of a packed record.
//
// While a row is held as a packed record, each string key field that ends in
// blanks carries a NUL byte in place of its first trailing blank, so the field
// ends where its text ends. The key field list (KEYLST) locates the fields: one
// triple (position, width, direction) per key, positions counted in units from
// the record's data area (its third unit), width 0 for a numeric key, and the
// list ends at the first triple with a negative width.
#include <cstring>

#include "PackedRecord.h"
#include "isort/sortfile.h"

namespace isort::packed {
namespace {

constexpr unsigned char kBlank = 0x20;

// The `width` bytes of the field that starts at data-area unit `position`.
unsigned char* FieldBytes(OBS* record, INTEGER position) {
  return reinterpret_cast<unsigned char*>(record + kHeaderUnits + (position - 1));
}

void TrimField(unsigned char* field, INTEGER width) {
  if (field[width - 1] != kBlank) return;
  INTEGER last = width - 2;  // the last byte that is not a blank, or -1
  while (last >= 0 && field[last] == kBlank) --last;
  field[last + 1] = 0;
}

void RestoreField(unsigned char* field, INTEGER width) {
  void* nul = std::memchr(field, 0, static_cast<std::size_t>(width));
  if (nul == nullptr) return;
  unsigned char* from = static_cast<unsigned char*>(nul);
  std::memset(from, kBlank, static_cast<std::size_t>(field + width - from));
}

}  // namespace

void TrimKeyFields(OBS* record, const INTEGER* keyList) {
  for (const INTEGER* key = keyList; key[1] >= 0; key += 3) {
    if (key[1] > 0) TrimField(FieldBytes(record, key[0]), key[1]);
  }
}

void RestoreKeyFields(OBS* record, const INTEGER* keyList) {
  for (const INTEGER* key = keyList; key[1] >= 0; key += 3) {
    if (key[1] > 0) RestoreField(FieldBytes(record, key[0]), key[1]);
  }
}

}  // namespace isort::packed

extern "C" {

void srtkeyz_(OBS* rec, const INTEGER* keylst) {
  isort::packed::TrimKeyFields(rec, keylst);
}

void srtkeyunz_(OBS* rec, const INTEGER* keylst) {
  isort::packed::RestoreKeyFields(rec, keylst);
}

}  // extern "C"
