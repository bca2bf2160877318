// Fuzz target: srtfup_ on packed records that srtfpk_ built and the input then
// damaged.
//
// Input layout (FuzzInput.h; missing bytes read as 0):
//   U8   bit 0: REARR; bit 1: compressed; bits 2-7: further FLAGS bits, which
//        the routines must ignore
//   U16  WIDRAW = value % 2100 (runs of more than 999 units reach obmove_)
//   U8   NKEYS = value % 16
//   per key: U16 position (1 + value % WIDRAW), U8 direction (odd 1, even -1,
//        0x80 gives 0, which srtfva_ refuses), U8 width (value % 120, 0 numeric)
//   U64  the header value
//   U64  the seed of the row's contents
//   then edits of the packed record, 3 bytes each: U16 byte offset (modulo
//        the record buffer's size), U8 the byte's new value
//
// srtfva_ plans the record. With REARR the plan's map and key field list are
// used; without it the key field list names row positions, and the record is
// packed through the map (1, WIDRAW), whose data area is the row itself, as a
// host that keeps whole rows does. The row is packed into a buffer of exactly
// the worst-case size: 2 header units, the plain units, and for a compressed
// record one unit per coded unit plus one control unit per eight. However its
// codes are damaged, the unpacker reads one control unit per eight codes and
// one literal per code 253, so it never needs more than that buffer; the rows
// it writes hold exactly WIDRAW units. The address sanitizer reports any
// access past either. Checked besides: the record's length lies within the
// worst case and unit 2 is the header value; the undamaged record unpacks to
// the row, unit for unit (string key fields hold no NUL byte, which trimming
// reserves; the check is left out where two string key fields partly overlap,
// as restoring one can then blank text of the other); the damaged record
// unpacks as a plain model of the format says; and srtfup_ changes it only as
// srtkeyunz_ does, restoring its key fields.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "host/HostServices.h"
#include "isort/sortfile.h"

namespace {

using isort::fuzz::Require;

std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// A unit of one of the kinds that a packed record codes differently: small
// integers (codes 1 to 251 and beyond), zeros, the missing value, blanks, text
// ending in blanks, fractions, a large value, a lower half of 0, a NaN, bytes.
std::uint64_t DrawUnit(std::uint64_t& state) {
  constexpr std::uint64_t kBlanks = 0x2020202020202020ull, kNaN = 0x7FF8000000000001ull;
  const std::uint64_t r = isort::fuzz::NextRandom(state), high = r >> 8;
  const std::uint64_t textBytes = ~std::uint64_t{0} >> (8 * (r >> 61));
  const std::uint64_t text =
      ((high | 0x4040404040404040ull) & textBytes) | (kBlanks & ~textBytes);
  const double small = static_cast<double>(high % 260) - 105;
  const std::uint64_t integer = Bits(small), fraction = Bits(small + 0.5);
  const std::uint64_t bytes = isort::fuzz::NextRandom(state);
  std::uint64_t missing;
  std::memcpy(&missing, CmnGlb + 1, 8);
  const std::uint64_t kinds[12] = {integer,     integer,    0,    Bits(-0.0),
                                   missing,     kBlanks,    text, fraction,
                                   Bits(1e300), high << 32, kNaN, bytes};
  return kinds[r % 12];
}

// Two string key fields that overlap without being the same field.
bool StringFieldsOverlap(const std::vector<SI>& keys, std::size_t n) {
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = a + 1; b < n; ++b) {
      const SI startA = 8 * keys[a], widthA = keys[2 * n + a];
      const SI startB = 8 * keys[b], widthB = keys[2 * n + b];
      if (widthA == 0 || widthB == 0 || (startA == startB && widthA == widthB)) continue;
      if (startA < startB + widthB && startB < startA + widthA) return true;
    }
  }
  return false;
}

// What the format says a record gives, its key fields restored: the plain
// pairs' units as stored; then a code per coded unit, eight to a control unit,
// codes 1 to 252 standing for code - 100, 253 for the next literal, 254 for
// eight blanks, 255 for the missing value, 0 for nothing. Reading past the
// worst-case record throws, which libFuzzer reports.
std::vector<OBS> ModelUnpack(const std::vector<OBS>& record, std::vector<OBS> row,
                             const std::vector<INTEGER>& map, INTEGER nplain) {
  std::size_t at = 2;
  std::uint64_t control = 0, missing;
  std::memcpy(&missing, CmnGlb + 1, 8);
  int next = 8;
  for (std::size_t p = 0; 2 * p < map.size(); ++p) {
    const std::int64_t count = static_cast<INTEGER>(p) < nplain
                                   ? map[2 * p + 1]
                                   : static_cast<std::int32_t>(map[2 * p + 1]);
    for (std::int64_t i = 0, out = map[2 * p] - 1; i < count; ++i) {
      if (static_cast<INTEGER>(p) < nplain) {
        row.at(out++) = record.at(at++);
        continue;
      }
      if (next == 8) {
        std::memcpy(&control, &record.at(at++), 8);
        next = 0;
      }
      const unsigned code = (control >> (8 * next++)) & 0xFF;
      if (code == 0) continue;
      std::uint64_t value = code == 254   ? 0x2020202020202020ull
                            : code == 255 ? missing
                                          : Bits(code - 100.0);
      if (code == 253) std::memcpy(&value, &record.at(at++), 8);
      std::memcpy(&row.at(out++), &value, 8);
    }
  }
  return row;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  isort::fuzz::ByteReader in(data, size);
  const unsigned flagByte = in.U8();
  const LOGICAL rearr = flagByte & 1;
  const bool compressed = (flagByte & 2) != 0;
  const INTEGER flags = (compressed ? 1 : 0) | static_cast<INTEGER>(flagByte >> 2) << 1;
  const INTEGER widraw = in.U16() % 2100;
  const std::size_t n = in.U8() % 16;
  std::vector<SI> keys(3 * n);
  for (std::size_t k = 0; k < n; ++k) {
    keys[k] = 1 + in.U16() % (widraw > 0 ? widraw : 1);
    const unsigned direction = in.U8();
    keys[n + k] = direction == 0x80 ? 0 : ((direction & 1) != 0 ? 1 : -1);
    keys[2 * n + k] = in.U8() % 120;
  }
  OBS header;
  const std::uint64_t headerBits = in.U64();
  std::memcpy(&header, &headerBits, 8);
  std::uint64_t state = in.U64();

  // The plan, sized as a host sizes it.
  const INTEGER nkeys = static_cast<INTEGER>(n);
  INTEGER nmap = 0, nkmap = 0, keywid = 0;
  const LOGICAL noFill = 0, fill = 1;
  if (srtfva_(nkeys, keys.data(), nullptr, nullptr, nmap, nkmap, keywid, widraw, rearr,
              noFill) != 0)
    return 0;
  std::vector<INTEGER> map(2 * static_cast<std::size_t>(nmap)), keylst(3 * (n + 1));
  Require(srtfva_(nkeys, keys.data(), keylst.data(), map.data(), nmap, nkmap, keywid,
                  widraw, rearr, fill) == 0,
          "srtfva_ accepts with FILL what it accepted without");
  if (rearr == 0) {  // the data area is the row: key field positions are row positions
    map = {1, widraw};
    nmap = nkmap = widraw > 0 ? 1 : 0;
  }

  // The row: every byte that a string key covers is not NUL.
  std::vector<OBS> row(static_cast<std::size_t>(widraw));
  for (OBS& unit : row) {
    const std::uint64_t bits = DrawUnit(state);
    std::memcpy(&unit, &bits, 8);
  }
  for (std::size_t k = 0; k < n; ++k) {
    auto* field = reinterpret_cast<unsigned char*>(&row[keys[k] - 1]);
    for (SI b = 0; b < keys[2 * n + k]; ++b) field[b] = field[b] == 0 ? 'z' : field[b];
  }

  // The worst case, as the low halves of the counts give it.
  std::size_t units = 2;
  std::size_t coded = 0;
  for (INTEGER p = 0; p < nmap; ++p) {
    const auto count = static_cast<std::int32_t>(map[2 * p + 1]);
    if (compressed && p >= nkmap) {
      coded += count > 0 ? static_cast<std::size_t>(count) : 0;
    } else {
      units += static_cast<std::size_t>(map[2 * p + 1]);
    }
  }
  const std::size_t plainUnits = units;
  units += coded + (coded + 7) / 8;
  const std::size_t bytes = 8 * units;

  std::vector<OBS> packed(units);
  std::memset(packed.data(), 0xA5, bytes);
  srtfpk_(row.data(), packed.data(), header, map.data(), keylst.data(), nmap, nkmap,
          flags);
  INTEGER length;
  std::memcpy(&length, packed.data(), 8);
  Require(
      length >= static_cast<INTEGER>(plainUnits) && length <= static_cast<INTEGER>(units),
      "the record's length lies within the worst case");
  Require(std::memcmp(&packed[1], &header, 8) == 0, "unit 2 holds the header value");

  std::vector<OBS> back(row.size());
  if (widraw > 0 && !StringFieldsOverlap(keys, n)) {
    std::vector<OBS> record = packed;
    std::memset(back.data(), 0xA5, 8 * back.size());
    srtfup_(record.data(), back.data(), map.data(), keylst.data(), nmap, nkmap, flags);
    Require(std::memcmp(back.data(), row.data(), 8 * row.size()) == 0,
            "an undamaged record unpacks to its row");
  }

  // Damaged: unpacked as the format says, within the worst case, and changed
  // only by the restoring of its key fields.
  auto* damaged = reinterpret_cast<unsigned char*>(packed.data());
  for (int edit = 0; edit < 256 && in.Left() > 0; ++edit) {
    const std::size_t offset = in.U16() % bytes;
    damaged[offset] = in.U8();
  }
  std::vector<OBS> restored = packed;
  srtkeyunz_(restored.data(), keylst.data());
  if (widraw > 0) std::memset(back.data(), 0xA5, 8 * back.size());
  const std::vector<OBS> model =
      ModelUnpack(restored, back, map, compressed ? nkmap : nmap);
  srtfup_(packed.data(), back.data(), map.data(), keylst.data(), nmap, nkmap, flags);
  Require(std::memcmp(packed.data(), restored.data(), bytes) == 0,
          "srtfup_ changes a record only by restoring its key fields");
  Require(widraw == 0 || std::memcmp(back.data(), model.data(), 8 * back.size()) == 0,
          "a damaged record unpacks as the format says");
  return 0;
}
