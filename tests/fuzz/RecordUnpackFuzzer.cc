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
// the worst-case size (2 header units, the plain units, and for a compressed
// record one unit per coded unit plus one control unit per eight), unpacked
// once as packed, then damaged by the edits and unpacked again into a row of
// exactly WIDRAW units. Checked:
//   - the record's length (unit 1) stays within the worst case, and the header
//     value is unit 2;
//   - the undamaged record unpacks to the row, unit for unit (string key
//     fields are drawn without NUL bytes, which trimming reserves, and the
//     check is left out where two string key fields partly overlap);
//   - the damaged record unpacks exactly as a plain model of the format says,
//     and srtfup_ changes nothing in the record but its string key fields.
//
// The bound the unpacker relies on: it reads one control unit per eight codes
// and one literal unit per code 253, with as many codes as the payload pairs
// have units. Damaged codes can therefore make it read up to the worst-case
// size and no further, but not less: a record kept in a buffer of only its
// own length (unit 1), whose codes are then damaged into 253s, is read past
// its end. The model below checks that the worst case holds for every damage.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzInput.h"
#include "host/HostServices.h"
#include "isort/sortfile.h"

namespace {

using isort::fuzz::ByteReader;
using isort::fuzz::Random;
using isort::fuzz::Require;

constexpr std::uint64_t kBlanks = 0x2020202020202020ull;

std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

std::uint64_t LoadUnit(const OBS* unit) {
  std::uint64_t bits;
  std::memcpy(&bits, unit, sizeof bits);
  return bits;
}

void StoreUnit(OBS* unit, std::uint64_t bits) { std::memcpy(unit, &bits, sizeof bits); }

// A unit of one of the kinds a packed record codes differently.
std::uint64_t DrawUnit(Random& random) {
  const std::uint64_t r = random.Next();
  switch (r % 16) {
    case 0: case 1: case 2: case 3:  // small integers, codes 1 to 251 and beyond
      return Bits(static_cast<double>(static_cast<int>((r >> 8) % 260) - 105));
    case 4: return 0;                                // +0.0
    case 5: return Bits(-0.0);
    case 6: return LoadUnit(CmnGlb + 1);             // system-missing
    case 7: return kBlanks;
    case 8: {                                        // text with trailing blanks
      std::uint64_t unit = kBlanks;
      const unsigned letters = static_cast<unsigned>((r >> 8) % 9);
      for (unsigned i = 0; i < letters; ++i) {
        unit &= ~(std::uint64_t{0xFF} << (8 * i));
        unit |= static_cast<std::uint64_t>('a' + (r >> (16 + i)) % 26) << (8 * i);
      }
      return unit;
    }
    case 9: return Bits(0.5 + static_cast<double>((r >> 8) % 300));
    case 10: return Bits(1e300);
    case 11: return (r >> 8) << 32;                  // lower half 0, any upper half
    case 12: return 0x7FF8000000000001ull;           // a NaN with a payload
    default: return random.Next();
  }
}

struct Pair {
  INTEGER position;
  INTEGER count;
};

INTEGER LowHalf(INTEGER value) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(value)); }

// The plain model of srtkeyunz_: from a field's first NUL byte on, blanks.
void ModelRestoreKeys(unsigned char* record, const INTEGER* keylst) {
  for (const INTEGER* key = keylst; key[1] >= 0; key += 3) {
    if (key[1] == 0) continue;
    unsigned char* field = record + 16 + 8 * (key[0] - 1);
    bool blanking = false;
    for (INTEGER b = 0; b < key[1]; ++b) {
      blanking = blanking || field[b] == 0;
      if (blanking) field[b] = ' ';
    }
  }
}

// The plain model of unpacking, written from the record format with every
// read of the record bounds-checked against the units the buffer has.
void ModelUnpack(unsigned char* record, std::size_t recordUnits, OBS* row,
                 const std::vector<Pair>& map, std::size_t nkmap, const INTEGER* keylst,
                 bool compressed) {
  ModelRestoreKeys(record, keylst);
  std::size_t at = 2;  // the unit of the record read next
  auto unitAt = [&](std::size_t unit) {
    Require(unit < recordUnits, "the unpacker never needs more than the worst-case record");
    std::uint64_t bits;
    std::memcpy(&bits, record + 8 * unit, 8);
    return bits;
  };
  const std::size_t plain = compressed ? nkmap : map.size();
  for (std::size_t p = 0; p < plain; ++p) {
    for (INTEGER i = 0; i < map[p].count; ++i) StoreUnit(row + map[p].position - 1 + i, unitAt(at++));
  }
  if (!compressed) return;
  std::uint64_t control = 0;
  int used = 8;
  for (std::size_t p = plain; p < map.size(); ++p) {
    const INTEGER count = LowHalf(map[p].count);
    INTEGER out = map[p].position - 1;
    for (INTEGER i = 0; i < count; ++i) {
      if (used == 8) {
        control = unitAt(at++);
        used = 0;
      }
      const unsigned code = static_cast<unsigned>(control >> (8 * used++)) & 0xFF;
      if (code == 0) continue;
      std::uint64_t value;
      if (code == 253) {
        value = unitAt(at++);
      } else if (code == 254) {
        value = kBlanks;
      } else if (code == 255) {
        value = LoadUnit(CmnGlb + 1);
      } else {
        value = (IEEEPart1[code] & 0xFFFFFFFFull) << 32;
      }
      StoreUnit(row + out++, value);
    }
  }
}

// Bytes of the record that belong to a string key field.
std::vector<bool> KeyFieldBytes(std::size_t recordBytes, const INTEGER* keylst) {
  std::vector<bool> inField(recordBytes, false);
  for (const INTEGER* key = keylst; key[1] >= 0; key += 3) {
    for (INTEGER b = 0; b < key[1]; ++b) inField[16 + 8 * (key[0] - 1) + b] = true;
  }
  return inField;
}

// Trimming and restoring give back a row's key fields unless two string key
// fields overlap without being the same field: then a NUL byte that trims one
// field can be taken by the other as its own first NUL byte, and restoring
// that field blanks text that belongs to the first.
bool StringFieldsSeparate(const std::vector<SI>& keys, std::size_t nKeys) {
  for (std::size_t a = 0; a < nKeys; ++a) {
    for (std::size_t b = a + 1; b < nKeys; ++b) {
      const SI startA = 8 * (keys[a] - 1), widthA = keys[2 * nKeys + a];
      const SI startB = 8 * (keys[b] - 1), widthB = keys[2 * nKeys + b];
      if (widthA == 0 || widthB == 0) continue;
      if (startA == startB && widthA == widthB) continue;
      if (startA < startB + widthB && startB < startA + widthA) return false;
    }
  }
  return true;
}

constexpr unsigned char kFill = 0xA5;  // buffers start as this, not as zeros

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const unsigned flagByte = in.U8();
  const LOGICAL rearr = flagByte & 1;
  const bool compressed = (flagByte & 2) != 0;
  const INTEGER flags = (compressed ? 1 : 0) | static_cast<INTEGER>(flagByte >> 2) << 1;
  const INTEGER widraw = in.U16() % 2100;
  const std::size_t nKeys = in.U8() % 16;
  std::vector<SI> keys(3 * nKeys);
  for (std::size_t k = 0; k < nKeys; ++k) {
    keys[k] = 1 + in.U16() % (widraw > 0 ? widraw : 1);
    const unsigned direction = in.U8();
    keys[nKeys + k] = direction == 0x80 ? 0 : ((direction & 1) != 0 ? 1 : -1);
    keys[2 * nKeys + k] = in.U8() % 120;
  }
  OBS header;
  StoreUnit(&header, in.U64());
  Random random(in.U64());

  // The plan, sized as a host sizes it.
  const INTEGER nkeys = static_cast<INTEGER>(nKeys);
  INTEGER nmap = 0, nkmap = 0, keywid = 0;
  const LOGICAL noFill = 0, fill = 1;
  if (srtfva_(nkeys, keys.data(), nullptr, nullptr, nmap, nkmap, keywid, widraw, rearr,
              noFill) != 0) {
    return 0;
  }
  std::unique_ptr<INTEGER[]> mapArray(new INTEGER[2 * static_cast<std::size_t>(nmap)]);
  std::unique_ptr<INTEGER[]> keylst(new INTEGER[3 * (nKeys + 1)]);
  Require(srtfva_(nkeys, keys.data(), keylst.get(), mapArray.get(), nmap, nkmap, keywid, widraw,
                  rearr, fill) == 0,
          "srtfva_ accepts with FILL what it accepted without");
  std::vector<Pair> map;
  for (INTEGER i = 0; i < nmap; ++i) map.push_back({mapArray[2 * i], mapArray[2 * i + 1]});
  if (rearr == 0) {
    // The data area is the row: key field positions are row positions.
    map.clear();
    if (widraw > 0) map.push_back({1, widraw});
    nkmap = static_cast<INTEGER>(map.size());
  }
  const INTEGER npairs = static_cast<INTEGER>(map.size());
  std::vector<INTEGER> flatMap;
  for (const Pair& pair : map) {
    flatMap.push_back(pair.position);
    flatMap.push_back(pair.count);
  }
  flatMap.push_back(0);  // keeps data() valid for an empty map

  // The row: every unit that a string key covers is free of NUL bytes.
  const auto rowUnits = static_cast<std::size_t>(widraw);
  std::unique_ptr<OBS[]> row(new OBS[rowUnits]);
  for (std::size_t u = 0; u < rowUnits; ++u) StoreUnit(&row[u], DrawUnit(random));
  for (std::size_t k = 0; k < nKeys; ++k) {
    auto* field = reinterpret_cast<unsigned char*>(&row[keys[k] - 1]);
    for (SI b = 0; b < keys[2 * nKeys + k]; ++b) {
      if (field[b] == 0) field[b] = 'z';
    }
  }

  // The worst case: 2 + plain units + coded units + one control unit per eight.
  const std::size_t plainPairs = compressed ? static_cast<std::size_t>(nkmap) : map.size();
  std::size_t plainUnits = 0, codedUnits = 0;
  for (std::size_t p = 0; p < map.size(); ++p) {
    if (p < plainPairs) {
      plainUnits += static_cast<std::size_t>(map[p].count);
    } else if (LowHalf(map[p].count) > 0) {
      codedUnits += static_cast<std::size_t>(LowHalf(map[p].count));
    }
  }
  const std::size_t worstUnits = 2 + plainUnits + codedUnits + (codedUnits + 7) / 8;
  const std::size_t recordBytes = 8 * worstUnits;

  std::unique_ptr<OBS[]> packed(new OBS[worstUnits]);
  std::memset(packed.get(), kFill, recordBytes);
  srtfpk_(row.get(), packed.get(), header, flatMap.data(), keylst.get(), npairs, nkmap, flags);
  INTEGER length;
  std::memcpy(&length, &packed[0], sizeof length);
  Require(length >= 2 + static_cast<INTEGER>(plainUnits) &&
              length <= static_cast<INTEGER>(worstUnits),
          "the record's length lies within the worst case");
  Require(LoadUnit(&packed[1]) == LoadUnit(&header), "unit 2 holds the header value");

  // Undamaged: the row comes back.
  if (StringFieldsSeparate(keys, nKeys)) {
    std::unique_ptr<OBS[]> record(new OBS[worstUnits]);
    std::memcpy(record.get(), packed.get(), recordBytes);
    std::unique_ptr<OBS[]> back(new OBS[rowUnits]);
    std::memset(back.get(), kFill, 8 * rowUnits);
    srtfup_(record.get(), back.get(), flatMap.data(), keylst.get(), npairs, nkmap, flags);
    Require(std::memcmp(back.get(), row.get(), 8 * rowUnits) == 0,
            "an undamaged record unpacks to its row");
  }

  // Damaged: as the model says, and nothing outside the row and key fields.
  std::unique_ptr<OBS[]> record(new OBS[worstUnits]);
  std::memcpy(record.get(), packed.get(), recordBytes);
  auto* bytes = reinterpret_cast<unsigned char*>(record.get());
  for (int edit = 0; edit < 256 && in.Left() > 0; ++edit) {
    const std::size_t offset = in.U16() % recordBytes;
    bytes[offset] = in.U8();
  }
  std::vector<unsigned char> modelRecord(bytes, bytes + recordBytes);
  std::vector<unsigned char> damaged = modelRecord;
  std::unique_ptr<OBS[]> modelRow(new OBS[rowUnits]);
  std::memset(modelRow.get(), kFill, 8 * rowUnits);
  ModelUnpack(modelRecord.data(), worstUnits, modelRow.get(), map,
              static_cast<std::size_t>(nkmap), keylst.get(), compressed);

  std::unique_ptr<OBS[]> back(new OBS[rowUnits]);
  std::memset(back.get(), kFill, 8 * rowUnits);
  srtfup_(record.get(), back.get(), flatMap.data(), keylst.get(), npairs, nkmap, flags);
  Require(std::memcmp(back.get(), modelRow.get(), 8 * rowUnits) == 0,
          "a damaged record unpacks as the format says");
  Require(std::memcmp(bytes, modelRecord.data(), recordBytes) == 0,
          "srtfup_ restores the key fields as the format says");
  const std::vector<bool> inField = KeyFieldBytes(recordBytes, keylst.get());
  for (std::size_t b = 0; b < recordBytes; ++b) {
    if (!inField[b]) Require(bytes[b] == damaged[b], "srtfup_ changes only key fields");
  }
  return 0;
}
