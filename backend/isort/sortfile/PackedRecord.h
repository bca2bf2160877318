// Pieces of the packed record format shared by the packed-record routines: the byte
// codes, the unit mover, and the key field trimming that packing and unpacking
// run without going through the exported entry points. The format itself is
// described at the top of Pack.cc, which writes it.
#pragma once

#include <cstdint>
#include <cstring>

#include "host/HostServices.h"
#include "isort/types.h"

namespace isort::packed {

// Byte codes of the compressed part. 1 to 252 stand for the small integer whose
// upper half is in IEEEPart1; the packer uses only 1 to 251.
constexpr unsigned kCodeUnused = 0;     // after the last unit of a record
constexpr unsigned kCodeZero = 100;     // +0.0
constexpr unsigned kCodeLargest = 251;  // largest code the packer chooses
constexpr unsigned kCodeLiteral = 253;  // the next literal unit, as stored
constexpr unsigned kCodeBlanks = 254;   // eight blanks
constexpr unsigned kCodeMissing = 255;  // the system-missing value
constexpr int kCodesPerGroup = 8;       // codes in one control unit

constexpr std::uint64_t kEightBlanks = 0x2020202020202020u;

// The record's two header units: its length in units, and the caller's value.
constexpr std::ptrdiff_t kHeaderUnits = 2;

// Runs longer than this are handed to the host's obmove_; shorter ones are
// copied here. The host relies on the threshold, so it is not a tuning knob.
constexpr INTEGER kDirectMoveLimit = 999;

// Units are moved as 64-bit patterns: a unit may hold string bytes or a NaN
// pattern, and no bit may change on the way.
inline std::uint64_t LoadUnit(const OBS* unit) {
  std::uint64_t bits;
  std::memcpy(&bits, unit, sizeof bits);
  return bits;
}

inline void StoreUnit(OBS* unit, std::uint64_t bits) {
  std::memcpy(unit, &bits, sizeof bits);
}

// The host's system-missing value, from the second slot of its global block.
inline std::uint64_t SystemMissingBits() { return LoadUnit(CmnGlb + 1); }

// A count that the host passes as INTEGER, used through its low 32 bits.
inline int LowHalf(INTEGER value) {
  return static_cast<int>(static_cast<std::uint32_t>(value));
}

// Runs up to this many units are copied by an inline loop rather than a libc
// memcpy call. Most runs of a typical map are short (W1: 1, 2 and 7 units);
// measured on W1 plain records, best of 200 passes over 2^16 rows: unpacking
// 13.5 ns per row with this limit, 17.8 with a limit of 4, 19.5 with memcpy
// for every run; packing 14-15 ns per row with either limit, 17 with memcpy.
constexpr INTEGER kInlineCopyUnits = 16;

// Copies `count` units (nothing when count <= 0).
inline void MoveUnits(const OBS* from, OBS* to, INTEGER count) {
  if (count > kDirectMoveLimit) {
    obmove_(from, to, &count);
  } else if (count > kInlineCopyUnits) {
    std::memcpy(to, from, static_cast<std::size_t>(count) * sizeof(OBS));
  } else {
    for (INTEGER i = 0; i < count; ++i) StoreUnit(to + i, LoadUnit(from + i));
  }
}

// The work of srtkeyz_ and srtkeyunz_ (KeyTrim.cc), called directly by the
// packer and the unpacker.
void TrimKeyFields(OBS* record, const INTEGER* keyList);
void RestoreKeyFields(OBS* record, const INTEGER* keyList);

}  // namespace isort::packed
