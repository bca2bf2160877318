// Fuzz target: srtfup_ on records that srtfpk_ packed from a random row
// through a plan of srtfva_ (without REARR through the map (1, WIDRAW), as a
// host that keeps whole rows does), then damaged. The record buffer is the
// worst case and the row WIDRAW units, so the address sanitizer reports any
// access past them. Checked besides: the length and unit 2; undamaged, the
// record unpacks to its row (unless two string key fields partly overlap, as
// restoring one can blank the other); damaged, srtfup_ changes it only as
// srtkeyunz_ does. Input (FuzzInput.h):
//   U8   bit 0: REARR; bit 1: compressed; bits 2-7: further FLAGS bits, ignored
//   U16  WIDRAW = value % 2100 (runs of more than 999 units reach obmove_)
//   U8   NKEYS = value % 16
//   per key: U16 position (1 + value % WIDRAW), U8 direction (odd 1, even -1,
//        0x80 gives 0, which srtfva_ refuses), U8 width (value % 120, 0 numeric)
//   U64  the header value, then U64 the seed of the row's contents
//   then edits, 3 bytes each: U16 byte offset (modulo the buffer's size), U8 value
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "host/HostServices.h"
#include "isort/sortfile.h"

namespace {

using isort::fuzz::Require;

// Units that a record codes each its own way: integers in and around the
// coded range, fractions, zeros, missing, a large value, blanks, text ending
// in blanks, a lower half of 0, any bytes (NaNs among them).
OBS DrawUnit(std::uint64_t& state) {
  const std::uint64_t r = isort::fuzz::NextRandom(state), high = r >> 8,
                      blanks = 0x2020202020202020ull;
  const std::uint64_t text = ~std::uint64_t{0} >> (r >> 61 << 3);
  const double values[] = {
      high % 260 - 105.0, high % 260 - 104.5, 0, -0.0, CmnGlb[1], 1e300};
  std::uint64_t kinds[10] = {blanks,
                             ((high | 0x4040404040404040ull) & text) | (blanks & ~text),
                             high << 32, isort::fuzz::NextRandom(state)};
  std::memcpy(kinds + 4, values, sizeof values);
  OBS unit;
  std::memcpy(&unit, &kinds[r % 10], 8);
  return unit;
}

// Two string key fields that overlap without being the same field.
bool StringFieldsOverlap(const std::vector<SI>& keys, INTEGER n) {
  for (INTEGER a = 0; a < n; ++a)
    for (INTEGER b = a + 1; b < n; ++b) {
      const SI startA = 8 * keys[a], widthA = keys[2 * n + a];
      const SI startB = 8 * keys[b], widthB = keys[2 * n + b];
      if (widthA == 0 || widthB == 0 || (startA == startB && widthA == widthB)) continue;
      if (startA < startB + widthB && startB < startA + widthA) return true;
    }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  isort::fuzz::ByteReader in{data, size};
  // FLAGS bit 0 asks for a compressed record.
  const INTEGER flagByte = in.U8(), rearr = flagByte & 1, flags = flagByte >> 1,
                widraw = in.U16() % 2100, n = in.U8() % 16;
  std::vector<SI> keys(3 * n);
  for (INTEGER k = 0; k < n; ++k) {
    keys[k] = 1 + in.U16() % (widraw > 0 ? widraw : 1);
    const unsigned direction = in.U8();
    keys[n + k] = direction == 0x80 ? 0 : ((direction & 1) != 0 ? 1 : -1);
    keys[2 * n + k] = in.U8() % 120;
  }
  OBS header;
  const std::uint64_t headerBits = in.Take(8);
  std::memcpy(&header, &headerBits, 8);
  std::uint64_t state = in.Take(8);

  INTEGER nmap = 0, nkmap = 0, keywid = 0;
  if (srtfva_(n, keys.data(), nullptr, nullptr, nmap, nkmap, keywid, widraw, rearr, 0))
    return 0;
  std::vector<INTEGER> map(2 * nmap), keylst(3 * (n + 1));
  Require(srtfva_(n, keys.data(), keylst.data(), map.data(), nmap, nkmap, keywid, widraw,
                  rearr, 1) == 0,
          "srtfva_ accepts with FILL what it accepted without");
  if (rearr == 0) map = {1, widraw}, nmap = nkmap = widraw > 0 ? 1 : 0;

  // The row; no byte that a string key covers is NUL, which trimming reserves.
  std::vector<OBS> row(static_cast<std::size_t>(widraw)), back(row.size());
  for (OBS& unit : row) unit = DrawUnit(state);
  for (INTEGER k = 0; k < n; ++k) {
    auto* field = reinterpret_cast<unsigned char*>(&row[keys[k] - 1]);
    for (SI b = 0; b < keys[2 * n + k]; ++b) field[b] = field[b] == 0 ? 'z' : field[b];
  }
  std::size_t plain = 2, coded = 0;
  for (INTEGER p = 0; p < nmap; ++p)
    ((flags & 1) != 0 && p >= nkmap ? coded : plain) +=
        static_cast<std::size_t>(map[2 * p + 1]);
  const std::size_t units = plain + coded + (coded + 7) / 8, bytes = 8 * units;
  std::vector<OBS> packed(units);
  std::memset(packed.data(), 0xA5, bytes);
  srtfpk_(row.data(), packed.data(), header, map.data(), keylst.data(), nmap, nkmap,
          flags);
  INTEGER length;
  std::memcpy(&length, packed.data(), 8);
  Require(length >= INTEGER(plain) && length <= INTEGER(units) &&
              std::memcmp(&packed[1], &header, 8) == 0,
          "the record's length lies within the worst case, unit 2 is the header");
  if (widraw > 0 && !StringFieldsOverlap(keys, n)) {
    std::vector<OBS> record = packed;
    srtfup_(record.data(), back.data(), map.data(), keylst.data(), nmap, nkmap, flags);
    Require(std::memcmp(back.data(), row.data(), 8 * row.size()) == 0,
            "an undamaged record unpacks to its row");
  }

  auto* damaged = reinterpret_cast<unsigned char*>(packed.data());
  for (int edit = 0; edit < 256 && in.offset < size; ++edit) {
    const std::size_t offset = in.U16() % bytes;
    damaged[offset] = in.U8();
  }
  std::vector<OBS> restored = packed;
  srtkeyunz_(restored.data(), keylst.data());
  srtfup_(packed.data(), back.data(), map.data(), keylst.data(), nmap, nkmap, flags);
  Require(std::memcmp(packed.data(), restored.data(), bytes) == 0,
          "srtfup_ changes a record only by restoring its key fields");
  return 0;
}
